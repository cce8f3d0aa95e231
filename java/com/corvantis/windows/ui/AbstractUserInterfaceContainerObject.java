package com.corvantis.windows.ui;

import com.corvantis.windows.WindowsHandle;
import java.nio.charset.StandardCharsets;

/**
 * A desktop or window station: its handle and the name it was opened or created
 * with (null for the handles that Windows hands out without a name, such as the
 * input desktop or the process's window station).
 */
public abstract class AbstractUserInterfaceContainerObject extends WindowsHandle {
    /** User-object information indexes for {@link #getUserInformation(int)}. */
    public static final int UOI_FLAGS = 1;
    public static final int UOI_NAME = 2;
    public static final int UOI_TYPE = 3;
    public static final int UOI_USER_SID = 4;
    public static final int UOI_HEAPSIZE = 5;
    public static final int UOI_IO = 6;

    private final String _name;

    protected AbstractUserInterfaceContainerObject(long handle, String name) {
        super(handle);
        _name = name;
    }

    /** The name this object was opened or created with, exactly as given; null when there was none. */
    public final String getName() {
        return _name;
    }

    /**
     * The user-object information of index {@code index}, in Windows' own layout
     * (for {@link #UOI_NAME} and {@link #UOI_TYPE} NUL-terminated UTF-16).
     */
    public native byte[] getUserInformation(int index);

    /** The name Windows knows this object by, read with {@link #UOI_NAME}. */
    public final String getWindowsName() {
        return utf16Text(getUserInformation(UOI_NAME));
    }

    /** "Desktop" or "WindowStation", read with {@link #UOI_TYPE}. */
    public final String getWindowsType() {
        return utf16Text(getUserInformation(UOI_TYPE));
    }

    /** Removes the access control list, leaving the object open to everyone. */
    public native void clearDacl();

    /**
     * Closes the handle with the function of its kind. The native close leaves
     * {@link #getHandle()} as it was; use {@link #dispose()} to close and forget it.
     */
    @Override
    public abstract void close();

    /**
     * Closes the handle and clears it, so that a second call, or any later use,
     * can never reach a handle value that Windows has given out again. If Windows
     * refuses to close it, the handle is kept and the exception passed on.
     */
    public final void dispose() {
        if (_handle != 0) {
            close();
            _handle = 0;
        }
    }

    private static String utf16Text(byte[] bytes) {
        int length = 0;
        while (length + 1 < bytes.length && (bytes[length] != 0 || bytes[length + 1] != 0)) {
            length += 2;
        }
        return new String(bytes, 0, length, StandardCharsets.UTF_16LE);
    }
}
