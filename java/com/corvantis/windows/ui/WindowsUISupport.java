package com.corvantis.windows.ui;

import com.corvantis.windows.ui.devicecontext.DeviceMode;
import com.corvantis.windows.ui.devicecontext.DisplayDevice;
import java.util.ArrayList;

/**
 * Desktops, window stations and display settings. Flags and access masks are the
 * Windows values and pass through unchanged; failures are raised as
 * {@link com.quillstone.velaro.server.CodedSystemException}.
 */
public final class WindowsUISupport {
    /** ChangeDisplaySettings flags. */
    public static final int CDS_UPDATEREGISTRY = 0x00000001;
    public static final int CDS_TEST = 0x00000002;
    public static final int CDS_FULLSCREEN = 0x00000004;
    public static final int CDS_GLOBAL = 0x00000008;
    public static final int CDS_SET_PRIMARY = 0x00000010;
    public static final int CDS_NORESET = 0x10000000;
    public static final int CDS_RESET = 0x40000000;

    /** ChangeDisplaySettings results, the code of the exception raised for them. */
    public static final int DISP_CHANGE_RESTART = 1;
    public static final int DISP_CHANGE_FAILED = -1;
    public static final int DISP_CHANGE_BADMODE = -2;
    public static final int DISP_CHANGE_NOTUPDATED = -3;
    public static final int DISP_CHANGE_BADFLAGS = -4;
    public static final int DISP_CHANGE_BADPARAM = -5;
    public static final int DISP_CHANGE_BADDUALVIEW = -6;

    /** EnumDisplayDevices flag: report the device interface name as DeviceID. */
    public static final int EDD_GET_DEVICE_INTERFACE_NAME = 0x00000001;

    private WindowsUISupport() {
    }

    /** The desktop that receives the user's input; its name is null. */
    public static native Desktop openInputDesktop(int flags, boolean inherit, int desiredAccess);

    /** The calling thread's desktop, which must not be closed; its name is null. */
    public static native Desktop getCurrentThreadDesktop();

    /**
     * Creates (or opens, if it exists) the desktop {@code name} in the process's
     * window station. Writes "Creating new desktop: " and the name to standard
     * output first, without a line end.
     */
    public static native Desktop createDesktop(String name, int flags, int desiredAccess);

    /** The process's window station, which must not be closed; its name is null. */
    public static native WindowStation getProcessWindowStation();

    /** The names of the session's window stations. */
    public static native ArrayList<String> getWindowStations();

    /** Opens the window station {@code name}. */
    public static native WindowStation openWindowStation(String name, boolean inherit, int desiredAccess);

    /**
     * Display device {@code devNum} (from 0): an adapter when {@code device} is null,
     * else a monitor of the adapter so named. Null once {@code devNum} is past the last one.
     */
    public static native DisplayDevice getDisplayDevice(String device, int devNum, int flags);

    /** Applies {@code mode} to the default display. */
    public static native void changeDisplaySettings(DeviceMode mode, int flags);

    /** Applies {@code mode} to the display {@code device}; null means the default display. */
    public static native void changeDisplaySettings(String device, DeviceMode mode, int flags);
}
