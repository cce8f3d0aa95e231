package velaro.jvmtest.ui;

import com.corvantis.windows.ui.AbstractUserInterfaceContainerObject;
import com.corvantis.windows.ui.Desktop;
import com.corvantis.windows.ui.WindowStation;
import com.corvantis.windows.ui.WindowsUISupport;
import com.quillstone.velaro.server.CodedSystemException;
import java.util.ArrayList;
import junit.framework.TestCase;

/**
 * A desktop of our own, created, opened again, named, read and disposed; Windows
 * removes a desktop when its last handle closes, which the station's list shows.
 */
public class DesktopTest extends TestCase {
    private static final int ERROR_INVALID_HANDLE = 6;
    private static final int ALL = Desktop.GENERIC_ALL;

    private WindowStation station;

    @Override
    protected void setUp() {
        station = WindowsUISupport.getProcessWindowStation();
    }

    public void testCreatedNamedAndDisposed() {
        String name = "VelaroDesk-" + System.currentTimeMillis();
        Desktop desktop = WindowsUISupport.createDesktop(name, 0, ALL);
        System.out.println(); // the bridge's trace line has no line end
        try {
            assertSame(name, desktop.getName());
            assertEquals(name, desktop.getWindowsName());
            assertEquals("Desktop", desktop.getWindowsType());
            assertTrue(station.getDesktops().contains(name));

            // Creating it again opens the same desktop through a handle of its own.
            Desktop again = WindowsUISupport.createDesktop(name, 0, ALL);
            System.out.println();
            assertTrue(again.getHandle() != desktop.getHandle());
            assertEquals(name, again.getWindowsName());
            again.dispose();
            assertEquals(0, again.getHandle());
            assertTrue("still open through the first handle", station.getDesktops().contains(name));
        } finally {
            desktop.dispose();
        }
        assertEquals(0, desktop.getHandle());
        assertFalse("removed with its last handle", station.getDesktops().contains(name));
        desktop.dispose(); // nothing left to close
    }

    /** Many desktops listed by one enumeration, one name at a time into the list. */
    public void testManyDesktopsListed() {
        String prefix = "VelaroMany-" + System.currentTimeMillis() + "-";
        Desktop[] desktops = new Desktop[60];
        try {
            for (int i = 0; i < desktops.length; ++i) {
                desktops[i] = WindowsUISupport.createDesktop(prefix + i, 0, ALL);
            }
            System.out.println();
            ArrayList<String> names = station.getDesktops();
            for (int i = 0; i < desktops.length; ++i) {
                assertTrue(prefix + i, names.contains(prefix + i));
            }
        } finally {
            for (Desktop desktop : desktops) {
                if (desktop != null) {
                    desktop.dispose();
                }
            }
        }
        for (String name : station.getDesktops()) {
            assertFalse(name, name.startsWith(prefix));
        }
    }

    /** Names beyond ASCII come back from Windows as they went in. */
    public void testWindowsNameOfANameBeyondAscii() {
        // U+0400 has a zero low byte, which must not end the name.
        String name = "Velaro \u00c4\u0400\u03a9\u4e2d-" + System.currentTimeMillis();
        Desktop desktop = WindowsUISupport.createDesktop(name, 0, ALL);
        System.out.println();
        try {
            assertEquals(name, desktop.getWindowsName());
            byte[] raw = desktop.getUserInformation(AbstractUserInterfaceContainerObject.UOI_NAME);
            assertEquals(2 * (name.length() + 1), raw.length);
            assertEquals(0x4e, raw[2 * (name.indexOf('\u4e2d')) + 1]);
        } finally {
            desktop.dispose();
        }
    }

    /** USEROBJECTFLAGS: fInherit, fReserved, then the desktop's flags. */
    public void testFlagsItWasCreatedWith() {
        String name = "VelaroHooks-" + System.currentTimeMillis();
        Desktop desktop = WindowsUISupport.createDesktop(name, Desktop.DF_ALLOWOTHERACCOUNTHOOK, ALL);
        System.out.println();
        try {
            byte[] flags = desktop.getUserInformation(AbstractUserInterfaceContainerObject.UOI_FLAGS);
            assertEquals(12, flags.length);
            assertEquals("not inheritable", 0, readInt(flags, 0));
            assertEquals(Desktop.DF_ALLOWOTHERACCOUNTHOOK, readInt(flags, 8));
        } finally {
            desktop.dispose();
        }
    }

    /**
     * The native close leaves the handle in the object; dispose after it meets the
     * closed handle, and keeps it, passing Windows' refusal on.
     */
    public void testCloseKeepsTheHandleAndDisposeKeepsARefusedOne() {
        String name = "VelaroClose-" + System.currentTimeMillis();
        Desktop desktop = WindowsUISupport.createDesktop(name, 0, ALL);
        System.out.println();
        long handle = desktop.getHandle();
        desktop.close();
        assertEquals(handle, desktop.getHandle());
        assertFalse("gone with its last handle", station.getDesktops().contains(name));
        try {
            desktop.dispose();
            fail("a closed desktop was closed again");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INVALID_HANDLE, e.getCode());
        }
        assertEquals(handle, desktop.getHandle());

        Desktop none = new Desktop(0, "none");
        none.close();
        none.dispose();
        assertEquals(0, none.getHandle());
        assertEquals("none", none.getName());
    }

    private static int readInt(byte[] bytes, int offset) {
        return (bytes[offset] & 0xFF) | (bytes[offset + 1] & 0xFF) << 8 | (bytes[offset + 2] & 0xFF) << 16
                | (bytes[offset + 3] & 0xFF) << 24;
    }
}
