package com.corvantis.monitoring.windows;

import java.util.ArrayList;
import java.util.Collection;

/** Browsing the performance objects, counters and instances of a machine (null: the local one). */
public final class WindowsMonitor {
    /** Detail levels, as PDH numbers them. */
    public static final int PERF_DETAIL_NOVICE = 100;
    public static final int PERF_DETAIL_ADVANCED = 200;
    public static final int PERF_DETAIL_EXPERT = 300;
    public static final int PERF_DETAIL_WIZARD = 400;

    private WindowsMonitor() {
    }

    /** Connects to the machine's performance data, or raises why it cannot. */
    public static native void checkConnect(String machineName);

    /** The names of the machine's performance objects. */
    public static native ArrayList<String> getAvailableObjects(String machineName, int detailLevel, boolean refresh);

    /**
     * Adds the object's counter names to {@code counters} and returns its instance
     * names, or null when the object has no instance list.
     */
    public static native ArrayList<String> getAvailableObjectItems(String machineName, String objectName,
            Collection<String> counters, int detailLevel);
}
