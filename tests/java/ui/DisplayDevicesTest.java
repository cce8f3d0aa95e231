package velaro.jvmtest.ui;

import com.corvantis.windows.ui.WindowsUISupport;
import com.corvantis.windows.ui.devicecontext.DeviceMode;
import com.corvantis.windows.ui.devicecontext.DisplayDevice;
import com.quillstone.velaro.server.CodedSystemException;
import java.util.ArrayList;
import java.util.List;
import junit.framework.TestCase;
import velaro.jvmtest.support.WindowsCommand;

/**
 * Display adapters and their monitors walked as the application walks them, and
 * display modes only tried (CDS_TEST), never applied.
 */
public class DisplayDevicesTest extends TestCase {
    public void testAdaptersAndTheirMonitors() {
        List<DisplayDevice> adapters = walk(null);
        assertFalse("no display adapter", adapters.isEmpty());
        int primaries = 0;
        for (DisplayDevice adapter : adapters) {
            String name = adapter.getDeviceName();
            assertTrue(name, name.startsWith("\\\\.\\DISPLAY"));
            assertTrue(adapter.getDeviceString().length() > 0);
            assertEquals(name + " (" + adapter.getDeviceString() + ")", adapter.toString());
            assertFlagsRead(adapter);
            if (adapter.isPrimary()) {
                ++primaries;
                assertTrue("the primary adapter shows the desktop", adapter.isAttachedToDesktop());
                // A monitor is named after its adapter.
                List<DisplayDevice> monitors = walk(name);
                assertFalse("no monitor on " + name, monitors.isEmpty());
                for (DisplayDevice monitor : monitors) {
                    assertTrue(monitor.getDeviceName(), monitor.getDeviceName().startsWith(name + "\\"));
                    assertFlagsRead(monitor);
                    assertFalse("a monitor is no primary adapter", monitor.isPrimary());
                }
            }
        }
        assertEquals("one primary adapter", 1, primaries);
        assertNull(WindowsUISupport.getDisplayDevice("\\\\.\\DISPLAY99", 0, 0));
    }

    /**
     * Each adapter's description is the DriverDesc of a video key that the registry's
     * device map lists (HKLM\\HARDWARE\\DEVICEMAP\\VIDEO, one \\Device\\VideoN value per key).
     */
    public void testAdaptersAreThoseOfTheDeviceMap() {
        List<String> descriptions = new ArrayList<String>();
        for (String line : WindowsCommand.reg("query", "HKLM\\HARDWARE\\DEVICEMAP\\VIDEO").requireSuccess().lines()) {
            String[] columns = line.trim().split(" {4}");
            if (columns.length == 3 && columns[0].startsWith("\\Device\\Video")) {
                String key = columns[2].replace("\\Registry\\Machine\\", "HKLM\\");
                for (String value : WindowsCommand.reg("query", key, "/v", "DriverDesc").requireSuccess().lines()) {
                    String[] parts = value.trim().split(" {4}");
                    if (parts.length == 3 && parts[0].equals("DriverDesc")) {
                        descriptions.add(parts[2]);
                    }
                }
            }
        }
        for (DisplayDevice adapter : walk(null)) {
            assertTrue(descriptions + " lacks " + adapter.getDeviceString(),
                    descriptions.contains(adapter.getDeviceString()));
        }
    }

    public void testModesTriedAndRefused() {
        try {
            WindowsUISupport.changeDisplaySettings(new DeviceMode(1, 1), WindowsUISupport.CDS_TEST);
            fail("a display of one pixel was accepted");
        } catch (CodedSystemException e) {
            assertEquals(WindowsUISupport.DISP_CHANGE_BADMODE, e.getCode());
        }
        try {
            WindowsUISupport.changeDisplaySettings("\\\\.\\DISPLAY99", new DeviceMode(1024, 768),
                    WindowsUISupport.CDS_TEST);
            fail("a display that does not exist was changed");
        } catch (CodedSystemException e) {
            assertEquals(WindowsUISupport.DISP_CHANGE_BADPARAM, e.getCode());
        }
        try {
            WindowsUISupport.changeDisplaySettings("\\\\.\\DISPLAY1", null, WindowsUISupport.CDS_TEST);
            fail("no mode was applied");
        } catch (NullPointerException expected) {
            // as the application sees it
        }
    }

    public void testDeviceModeSetsTheBitsOfWhatItHolds() {
        DeviceMode mode = new DeviceMode(1024, 768);
        assertEquals(1024, mode.getPelsWidth());
        assertEquals(768, mode.getPelsHeight());
        assertEquals(DeviceMode.DM_PELSWIDTH | DeviceMode.DM_PELSHEIGHT, mode.getFields());
        mode.setBitsPerPel(32);
        mode.setDisplayFrequency(60);
        mode.setDisplayFlags(2);
        assertEquals(32, mode.getBitsPerPel());
        assertEquals(60, mode.getDisplayFrequency());
        assertEquals(2, mode.getDisplayFlags());
        assertEquals(DeviceMode.DM_PELSWIDTH | DeviceMode.DM_PELSHEIGHT | DeviceMode.DM_BITSPERPEL
                | DeviceMode.DM_DISPLAYFREQUENCY | DeviceMode.DM_DISPLAYFLAGS, mode.getFields());
        mode.setFields(0);
        assertEquals(0, mode.getFields());
        assertEquals(0, new DeviceMode().getFields());
    }

    private static void assertFlagsRead(DisplayDevice device) {
        int flags = device.getStateFlags();
        assertEquals((flags & DisplayDevice.DISPLAY_DEVICE_PRIMARY_DEVICE) != 0, device.isPrimary());
        assertEquals((flags & DisplayDevice.DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0, device.isAttachedToDesktop());
    }

    /** Devices from number 0 up to the first that Windows rejects. */
    private static List<DisplayDevice> walk(String adapter) {
        List<DisplayDevice> devices = new ArrayList<DisplayDevice>();
        for (int i = 0; i < 64; ++i) {
            DisplayDevice device = WindowsUISupport.getDisplayDevice(adapter, i, 0);
            if (device == null) {
                return devices;
            }
            devices.add(device);
        }
        fail("more than 64 display devices on " + adapter);
        return devices;
    }
}
