package com.corvantis.process;

import com.corvantis.windows.security.AccessToken;

/** A Windows process: its handle (0 once closed) and its process id. */
public class WindowsProcess implements AutoCloseable {
    /** GetExitCodeProcess's value while the process runs. */
    public static final int STILL_ACTIVE = 259;

    /** The process handle's bits; the current process is represented by its pseudo-handle. */
    protected long _handle;

    private final int _processId;

    public WindowsProcess(long handle, int processId) {
        _handle = handle;
        _processId = processId;
    }

    public final int getProcessId() {
        return _processId;
    }

    /**
     * Waits until the process ends and returns its exit code.
     *
     * @throws InterruptedException if the calling thread is interrupted while the process runs
     */
    public native int waitFor() throws InterruptedException;

    /**
     * The exit code.
     *
     * @throws IllegalThreadStateException if the process runs (or exited with 259)
     */
    public native int exitValue();

    /** Ends the process with exit code 1; nothing happens if it has already ended. */
    public native void destroy();

    /** Releases the handle; closing again does nothing. */
    @Override
    public native void close();

    /** Kernel plus user processor time, in 100-nanosecond units. */
    public native long getCpuTime();

    /** Sets the Windows priority class (such as 0x40, IDLE_PRIORITY_CLASS). */
    public native void setPriorityClassId(int priorityClass);

    public native int getPriorityClassId();

    /** Opens the process's access token with the given access mask. */
    public native AccessToken getAccessToken(int desiredAccess);
}
