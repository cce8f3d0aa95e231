package velaro.jvmtest.ras;

import com.corvantis.windows.ras.RasEntry;
import java.util.HashMap;
import java.util.Map;
import junit.framework.TestCase;

/**
 * The RasEntry readers over records built here from RASENTRYW's documented member
 * list (ras.h, 4-byte packing), in both versions the bridges hand to Windows.
 */
public class RasEntryTest extends TestCase {
    private static final byte FILL = (byte) 0xEE;

    /** The two RASENTRYW versions: up to dwVpnStrategy (corebridge) and up to dwRedialPause (fullbridge). */
    static final Layout CORE_RECORD = rasEntry(false);
    static final Layout FULL_RECORD = rasEntry(true);

    public void testDocumentedSizesOfTheTwoVersions() {
        assertEquals(4048, CORE_RECORD.size);
        assertEquals(5616, FULL_RECORD.size);
    }

    public void testLimitsAreThoseOfRasH() {
        assertEquals(260, RasEntry.MAX_PATH());
        assertEquals(10, RasEntry.RAS_MaxAreaCode());
        assertEquals(128, RasEntry.RAS_MaxPhoneNumber());
        assertEquals(16, RasEntry.RAS_MaxDeviceType());
        assertEquals(128, RasEntry.RAS_MaxDeviceName());
        assertEquals(32, RasEntry.RAS_MaxPadType());
        assertEquals(200, RasEntry.RAS_MaxX25Address());
        assertEquals(200, RasEntry.RAS_MaxFacilities());
        assertEquals(200, RasEntry.RAS_MaxUserData());
    }

    public void testEveryMemberReadAtItsOffset() {
        for (Layout layout : new Layout[] {CORE_RECORD, FULL_RECORD}) {
            byte[] record = filled(layout.size);
            layout.putInt(record, "dwSize", layout.size);
            layout.putInt(record, "dwfOptions", 0x11223344);
            layout.putInt(record, "dwCountryID", 49);
            layout.putInt(record, "dwCountryCode", -44);
            layout.putText(record, "szAreaCode", "0815");
            layout.putText(record, "szLocalPhoneNumber", "+49 (0)30 555-0100");
            layout.putInt(record, "dwFramingProtocol", 1);
            layout.putText(record, "szScript", "C:\\Velaro\\dial \u00fc.scp");
            layout.putText(record, "szDeviceType", "vpn");
            layout.putText(record, "szDeviceName", "WAN Miniport (PPTP)");
            layout.putText(record, "szX25PadType", "PAD");
            layout.putText(record, "szX25Address", "31342");
            layout.putText(record, "szX25Facilities", "facilities");
            layout.putText(record, "szX25UserData", "user data");
            layout.putInt(record, "dwChannels", 2);

            RasEntry entry = new RasEntry(record);
            assertEquals(layout.size, entry.getSize());
            assertEquals(0x11223344, entry.getOptions());
            assertEquals(49, entry.getCountryId());
            assertEquals(-44, entry.getCountryCode());
            assertEquals("0815", entry.getAreaCode());
            assertEquals("+49 (0)30 555-0100", entry.getLocalPhoneNumber());
            assertEquals(1, entry.getFramingProtocol());
            assertEquals("C:\\Velaro\\dial \u00fc.scp", entry.getScript());
            assertEquals("vpn", entry.getDeviceType());
            assertEquals("WAN Miniport (PPTP)", entry.getDeviceName());
            assertEquals("PAD", entry.getX25PadType());
            assertEquals("31342", entry.getX25Address());
            assertEquals("facilities", entry.getX25Facilities());
            assertEquals("user data", entry.getX25UserData());
            assertEquals(2, entry.getChannels());
        }
    }

    /** Texts of the longest length, and texts whose NUL is missing, end with their member. */
    public void testTextsFillingTheirMembers() {
        Layout layout = FULL_RECORD;
        byte[] record = filled(layout.size);
        layout.putText(record, "szAreaCode", "0123456789");
        layout.putText(record, "szDeviceType", "abcdefghijklmnop");
        // No NUL in the phone number's 129 characters: the reader stops at its end.
        String full = repeat('7', 129);
        layout.putChars(record, "szLocalPhoneNumber", full);
        layout.putChars(record, "szX25UserData", repeat('u', 201));
        RasEntry entry = new RasEntry(record);
        assertEquals("0123456789", entry.getAreaCode());
        assertEquals("abcdefghijklmnop", entry.getDeviceType());
        assertEquals(full, entry.getLocalPhoneNumber());
        assertEquals(repeat('u', 201), entry.getX25UserData());
        assertEquals("dwChannels keeps the fill", 0xEEEEEEEE, entry.getChannels());
    }

    public void testRecordHandedOutAsACopy() {
        byte[] record = new byte[CORE_RECORD.size];
        CORE_RECORD.putInt(record, "dwfOptions", 5);
        RasEntry entry = new RasEntry(record);
        byte[] copy = entry.getRecord();
        assertEquals(record.length, copy.length);
        assertEquals(5, copy[CORE_RECORD.offset("dwfOptions")]);
        copy[CORE_RECORD.offset("dwfOptions")] = 9;
        assertEquals(5, entry.getOptions());
        assertEquals(5, entry.getRecord()[CORE_RECORD.offset("dwfOptions")]);
    }

    private static Layout rasEntry(boolean newer) {
        Layout l = new Layout();
        l.dword("dwSize").dword("dwfOptions").dword("dwCountryID").dword("dwCountryCode");
        l.text("szAreaCode", 10 + 1).text("szLocalPhoneNumber", 128 + 1).dword("dwAlternateOffset");
        l.dword("ipaddr").dword("ipaddrDns").dword("ipaddrDnsAlt").dword("ipaddrWins").dword("ipaddrWinsAlt");
        l.dword("dwFrameSize").dword("dwfNetProtocols").dword("dwFramingProtocol");
        l.text("szScript", 260).text("szAutodialDll", 260).text("szAutodialFunc", 260);
        l.text("szDeviceType", 16 + 1).text("szDeviceName", 128 + 1).text("szX25PadType", 32 + 1);
        l.text("szX25Address", 200 + 1).text("szX25Facilities", 200 + 1).text("szX25UserData", 200 + 1);
        l.dword("dwChannels").dword("dwReserved1").dword("dwReserved2");
        l.dword("dwSubEntries").dword("dwDialMode").dword("dwDialExtraPercent").dword("dwDialExtraSampleSeconds");
        l.dword("dwHangUpExtraPercent").dword("dwHangUpExtraSampleSeconds").dword("dwIdleDisconnectSeconds");
        l.dword("dwType").dword("dwEncryptionType").dword("dwCustomAuthKey").member("guidId", 16, 4);
        l.text("szCustomDialDll", 260).dword("dwVpnStrategy");
        if (newer) {
            l.dword("dwfOptions2").dword("dwfOptions3").text("szDnsSuffix", 256).dword("dwTcpWindowSize");
            l.text("szPrerequisitePbk", 260).text("szPrerequisiteEntry", 256 + 1);
            l.dword("dwRedialCount").dword("dwRedialPause");
        }
        l.size = (l.size + 3) & ~3;
        return l;
    }

    private static byte[] filled(int size) {
        byte[] record = new byte[size];
        for (int i = 0; i < size; ++i) {
            record[i] = FILL;
        }
        return record;
    }

    private static String repeat(char c, int n) {
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < n; ++i) {
            text.append(c);
        }
        return text.toString();
    }

    /** Member offsets of a C record with 4-byte packing, built from its member list. */
    static final class Layout {
        private final Map<String, Integer> offsets = new HashMap<String, Integer>();
        private final Map<String, Integer> sizes = new HashMap<String, Integer>();
        int size;

        Layout dword(String name) {
            return member(name, 4, 4);
        }

        Layout text(String name, int chars) {
            return member(name, 2 * chars, 2);
        }

        Layout member(String name, int bytes, int alignment) {
            size = (size + alignment - 1) / alignment * alignment;
            offsets.put(name, size);
            sizes.put(name, bytes);
            size += bytes;
            return this;
        }

        int offset(String name) {
            Integer offset = offsets.get(name);
            if (offset == null) {
                throw new IllegalArgumentException(name);
            }
            return offset;
        }

        void putInt(byte[] record, String name, int value) {
            int at = offset(name);
            for (int i = 0; i < 4; ++i) {
                record[at + i] = (byte) (value >>> (8 * i));
            }
        }

        /** The text and its NUL, little-endian UTF-16. */
        void putText(byte[] record, String name, String text) {
            putChars(record, name, text + '\0');
        }

        void putChars(byte[] record, String name, String chars) {
            if (2 * chars.length() > sizes.get(name)) {
                throw new IllegalArgumentException(name + " holds fewer characters");
            }
            int at = offset(name);
            for (int i = 0; i < chars.length(); ++i) {
                record[at + 2 * i] = (byte) chars.charAt(i);
                record[at + 2 * i + 1] = (byte) (chars.charAt(i) >>> 8);
            }
        }
    }
}
