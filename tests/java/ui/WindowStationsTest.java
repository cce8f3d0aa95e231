package velaro.jvmtest.ui;

import com.corvantis.windows.ui.AbstractUserInterfaceContainerObject;
import com.corvantis.windows.ui.Desktop;
import com.corvantis.windows.ui.WindowStation;
import com.corvantis.windows.ui.WindowsUISupport;
import com.quillstone.velaro.server.CodedSystemException;
import java.util.ArrayList;
import junit.framework.TestCase;

/** Window stations and the desktops Windows hands out without a name, checked against each other. */
public class WindowStationsTest extends TestCase {
    private static final int ERROR_FILE_NOT_FOUND = 2;

    public void testProcessStationIsListedUnderTheNameWindowsGivesIt() {
        ArrayList<String> stations = WindowsUISupport.getWindowStations();
        WindowStation own = WindowsUISupport.getProcessWindowStation();
        assertNull("handed out without a name", own.getName());
        assertTrue(own.isOpen());
        String name = own.getWindowsName();
        assertEquals("WinSta0", name);
        assertTrue(stations + " lacks " + name, stations.contains(name));
        assertEquals("WindowStation", own.getWindowsType());
        // The process's own station is Windows' handle, not ours to close.
    }

    public void testThreadAndInputDesktopsAreDesktopsOfTheStation() {
        ArrayList<String> desktops = WindowsUISupport.getProcessWindowStation().getDesktops();
        Desktop thread = WindowsUISupport.getCurrentThreadDesktop();
        assertNull(thread.getName());
        assertEquals("Desktop", thread.getWindowsType());
        assertTrue(desktops + " lacks " + thread.getWindowsName(), desktops.contains(thread.getWindowsName()));

        Desktop input = WindowsUISupport.openInputDesktop(0, false, Desktop.DESKTOP_READOBJECTS);
        try {
            assertNull(input.getName());
            assertTrue(desktops.contains(input.getWindowsName()));
        } finally {
            input.dispose();
        }
        assertEquals(0, input.getHandle());
    }

    public void testStationOpenedByNameAndDisposed() {
        String name = new String("WinSta0"); // its own object, to tell it from a copy
        WindowStation station = WindowsUISupport.openWindowStation(name, false,
                WindowStation.WINSTA_ENUMDESKTOPS | WindowStation.WINSTA_READATTRIBUTES);
        assertSame(name, station.getName());
        assertEquals(name, station.getWindowsName());
        byte[] raw = station.getUserInformation(AbstractUserInterfaceContainerObject.UOI_NAME);
        assertEquals("UTF-16 name and NUL", 2 * (name.length() + 1), raw.length);
        assertEquals(WindowsUISupport.getProcessWindowStation().getDesktops().toString(),
                station.getDesktops().toString());
        assertTrue(station.getHandle() != 0);

        station.dispose();
        assertEquals(0, station.getHandle());
        assertFalse(station.isOpen());
        station.dispose(); // nothing left to close
        assertEquals(0, station.getHandle());
    }

    public void testUnknownStationAsTheApplicationCatchesIt() {
        try {
            WindowsUISupport.openWindowStation("VelaroNoSuchStation", false, WindowStation.WINSTA_ENUMDESKTOPS);
            fail("a station that does not exist was opened");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_FILE_NOT_FOUND, e.getCode());
            assertNotNull(e.getMessage());
        }
    }
}
