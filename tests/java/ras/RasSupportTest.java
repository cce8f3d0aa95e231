package velaro.jvmtest.ras;

import com.corvantis.windows.ras.RasConnection;
import com.corvantis.windows.ras.RasEntry;
import com.corvantis.windows.ras.RasEntryName;
import com.corvantis.windows.ras.RasSupport;
import com.quillstone.velaro.server.CodedSystemException;
import junit.framework.TestCase;
import velaro.jvmtest.support.Bridge;

/**
 * Dial-up entries and connections as Wine answers: no phonebook entries, no
 * connections, and entry properties that its stub reports as read without filling
 * them. The record holds as many bytes as the version the bridge hands to Windows.
 */
public class RasSupportTest extends TestCase {
    private static final int ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;

    public void testNoPhonebookEntriesAndNoConnections() {
        RasEntryName[] names = RasSupport.getEntryNamesByPath(null);
        assertEquals(0, names.length);
        assertEquals(RasEntryName.class, names.getClass().getComponentType());
        RasConnection[] connections = RasSupport.getActiveConnections();
        assertEquals(0, connections.length);
        assertEquals(RasConnection.class, connections.getClass().getComponentType());
    }

    public void testEntryPropertiesRecordOfTheBridgesVersion() {
        RasEntryTest.Layout version = Bridge.isFull() ? RasEntryTest.FULL_RECORD : RasEntryTest.CORE_RECORD;
        RasEntry entry;
        try {
            entry = RasSupport.getEntryProperties(null, "Velaro Dial-up");
        } catch (CodedSystemException e) {
            // Windows, whose phonebook lacks the entry.
            assertEquals(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, e.getCode());
            return;
        }
        byte[] record = entry.getRecord();
        assertEquals(version.size, record.length);
        assertEquals(version.size, entry.getSize());
        // Wine's stub fills nothing: the zeroed record reads as empty members.
        for (int i = 4; i < record.length; ++i) {
            assertEquals("byte " + i, 0, record[i]);
        }
        assertEquals("", entry.getLocalPhoneNumber());
        assertEquals("", entry.getX25UserData());
        assertEquals(0, entry.getChannels());
    }

    public void testRecordHoldersKeepWhatTheyWereMadeWith() {
        RasEntryName name = new RasEntryName("Office VPN", RasEntryName.REN_ALL_USERS, "C:\\pbk\\rasphone.pbk");
        assertEquals("Office VPN", name.getEntryName());
        assertEquals(RasEntryName.REN_ALL_USERS, name.getFlags());
        assertEquals("C:\\pbk\\rasphone.pbk", name.getPhonebookPath());
        assertEquals("Office VPN (C:\\pbk\\rasphone.pbk)", name.toString());

        RasConnection connection = new RasConnection("Office VPN", "vpn", "WAN Miniport (IKEv2)", "C:\\pbk", 2);
        assertEquals("Office VPN", connection.getEntryName());
        assertEquals("vpn", connection.getDeviceType());
        assertEquals("WAN Miniport (IKEv2)", connection.getDeviceName());
        assertEquals("C:\\pbk", connection.getPhonebook());
        assertEquals(2, connection.getSubEntry());
        assertEquals("Office VPN on WAN Miniport (IKEv2)", connection.toString());
    }
}
