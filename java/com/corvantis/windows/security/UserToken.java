package com.corvantis.windows.security;

import com.corvantis.windows.WindowsHandle;

/** A logon token of a user; closed with {@link #close()}. */
public class UserToken extends WindowsHandle {
    public UserToken(long handle) {
        super(handle);
    }

    /**
     * Makes the calling thread act as this token's user until {@link #revertToSelf()}
     * is called on the same thread (fullbridge only).
     */
    public native void impersonateLoggedOnUser();

    /** Ends the calling thread's impersonation; does nothing on a thread that does not impersonate. */
    public static native void revertToSelf();
}
