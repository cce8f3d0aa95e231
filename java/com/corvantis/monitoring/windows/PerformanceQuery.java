package com.corvantis.monitoring.windows;

/**
 * A PDH query over live data: counters are added to it, and one collection
 * samples all of them at once.
 */
public class PerformanceQuery implements AutoCloseable {
    /** The PDH query handle; 0 while no query is open. */
    protected long _handle;

    public PerformanceQuery() {
    }

    /** Opens a new query; an open one is not closed first. */
    public native void openHandle();

    /** Closes the query and the counters still in it; sets the handle to 0. */
    public native void closeHandle();

    /** Collects one sample for every counter of the query; a query without counters collects nothing. */
    public static native void updateCounters(long queryHandle);

    public final long getHandle() {
        return _handle;
    }

    public final boolean isOpen() {
        return _handle != 0;
    }

    public void update() {
        updateCounters(_handle);
    }

    @Override
    public void close() {
        if (_handle != 0) {
            closeHandle();
        }
    }
}
