package com.corvantis.monitoring.windows;

/** Facts about the installed performance data library. */
public final class WindowsMonitorPool {
    private WindowsMonitorPool() {
    }

    /** The PDH version number (such as 0x503). */
    public static native int getPdhVersion();
}
