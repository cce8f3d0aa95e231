package com.corvantis.windows.ui;

/** A desktop (HDESK) of a window station. */
public final class Desktop extends AbstractUserInterfaceContainerObject {
    /** Desktop access rights. */
    public static final int DESKTOP_READOBJECTS = 0x0001;
    public static final int DESKTOP_CREATEWINDOW = 0x0002;
    public static final int DESKTOP_CREATEMENU = 0x0004;
    public static final int DESKTOP_HOOKCONTROL = 0x0008;
    public static final int DESKTOP_JOURNALRECORD = 0x0010;
    public static final int DESKTOP_JOURNALPLAYBACK = 0x0020;
    public static final int DESKTOP_ENUMERATE = 0x0040;
    public static final int DESKTOP_WRITEOBJECTS = 0x0080;
    public static final int DESKTOP_SWITCHDESKTOP = 0x0100;
    public static final int READ_CONTROL = 0x00020000;
    public static final int WRITE_DAC = 0x00040000;
    public static final int GENERIC_ALL = 0x10000000;

    /** Desktop flag: other accounts' processes may set hooks in this desktop. */
    public static final int DF_ALLOWOTHERACCOUNTHOOK = 0x0001;

    public Desktop(long handle, String name) {
        super(handle, name);
    }

    /**
     * Closes the desktop with CloseDesktop; a desktop whose handle is 0 is left alone.
     * The handle value stays in the object (see {@link #dispose()}). The calling
     * thread's own desktop cannot be closed.
     */
    @Override
    public native void close();

    /** Makes this desktop the visible one that receives the user's input. */
    public native void switchDesktop();

    /** Assigns this desktop to the calling thread, which must own no windows or hooks. */
    public native void setThreadDesktop();
}
