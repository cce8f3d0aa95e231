package com.corvantis.process;

/** A Windows process: its handle (0 once closed) and its process id. */
public class WindowsProcess {
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
}
