package com.corvantis.windows;

/**
 * A Windows handle owned by a Java object. The native side reads {@code _handle}
 * on every call; 0 means no handle (never opened, or closed).
 */
public class WindowsHandle implements AutoCloseable {
    /** The handle's bits, unchanged. Written by native code when it closes the handle. */
    protected long _handle;

    public WindowsHandle(long handle) {
        _handle = handle;
    }

    /** The raw handle value, 0 once closed. */
    public final long getHandle() {
        return _handle;
    }

    public final boolean isOpen() {
        return _handle != 0;
    }

    /**
     * Closes the handle with CloseHandle and sets it to 0; closing again does nothing.
     *
     * @throws com.quillstone.velaro.server.CodedSystemException if Windows refuses to close it
     */
    @Override
    public native void close();
}
