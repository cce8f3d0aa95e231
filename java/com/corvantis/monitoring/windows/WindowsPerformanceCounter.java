package com.corvantis.monitoring.windows;

import java.nio.ByteBuffer;

/**
 * A counter added to a {@link PerformanceQuery} by its full path. Its formatted
 * value is stored straight into a direct buffer, without a Java object per sample.
 */
public class WindowsPerformanceCounter implements AutoCloseable {
    /** PDH_FMT_LONG: a 32-bit integer is stored. */
    public static final int PDH_FMT_LONG = 0x100;
    /** PDH_FMT_DOUBLE: a 64-bit IEEE double is stored. */
    public static final int PDH_FMT_DOUBLE = 0x200;
    /** PDH_FMT_LARGE: a 64-bit integer is stored. */
    public static final int PDH_FMT_LARGE = 0x400;
    /** Scaling modifier: the counter's scale factor is not applied. */
    public static final int PDH_FMT_NOSCALE = 0x1000;

    /** The PDH counter handle; 0 while the counter is not in a query. */
    protected long _handle;
    /** The full counter path the counter is added by. */
    protected String _counter_path;

    public WindowsPerformanceCounter(String counterPath) {
        _counter_path = counterPath;
    }

    /**
     * Adds the counter to the query.
     *
     * @throws IllegalStateException if the counter is already in a query
     */
    public native void createHandle(long queryHandle);

    /** Removes the counter from its query; sets the handle to 0. */
    @Override
    public native void close();

    /** Sets the power of ten the counter's values are multiplied by. */
    public native void setScaleFactor(int scale);

    /**
     * Stores the counter's formatted value in native byte order at {@code offset} of
     * {@code buffer}: 4 bytes for {@link #PDH_FMT_LONG}, 8 for the other formats. A value
     * without valid data (the instance is gone) is stored as NaN, or as -1 for the integer formats.
     *
     * @throws IllegalStateException if the buffer is not direct
     * @throws IllegalArgumentException if the format is none of the three, or the value does not fit
     *         the buffer at that offset
     */
    public static native void storeValueInBuffer(long counterHandle, int format, int offset, ByteBuffer buffer);

    public final long getHandle() {
        return _handle;
    }

    public final String getCounterPath() {
        return _counter_path;
    }
}
