package com.corvantis.windows.ui;

import java.util.ArrayList;

/** A window station (HWINSTA). */
public final class WindowStation extends AbstractUserInterfaceContainerObject {
    /** Window-station access rights. */
    public static final int WINSTA_ENUMDESKTOPS = 0x0001;
    public static final int WINSTA_READATTRIBUTES = 0x0002;
    public static final int WINSTA_ACCESSCLIPBOARD = 0x0004;
    public static final int WINSTA_CREATEDESKTOP = 0x0008;
    public static final int WINSTA_WRITEATTRIBUTES = 0x0010;
    public static final int WINSTA_ACCESSGLOBALATOMS = 0x0020;
    public static final int WINSTA_EXITWINDOWS = 0x0040;
    public static final int WINSTA_ENUMERATE = 0x0100;
    public static final int WINSTA_READSCREEN = 0x0200;
    public static final int WINSTA_ALL_ACCESS = 0x037F;

    public WindowStation(long handle, String name) {
        super(handle, name);
    }

    /**
     * Closes the window station with CloseWindowStation; one whose handle is 0 is
     * left alone. The handle value stays in the object (see {@link #dispose()}).
     * The process's own window station cannot be closed.
     */
    @Override
    public native void close();

    /** The names of this window station's desktops, in the order Windows reports them. */
    public native ArrayList<String> getDesktops();
}
