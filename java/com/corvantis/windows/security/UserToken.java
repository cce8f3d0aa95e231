package com.corvantis.windows.security;

import com.corvantis.windows.WindowsHandle;

/** A logon token of a user; closed with {@link #close()}. */
public class UserToken extends WindowsHandle {
    public UserToken(long handle) {
        super(handle);
    }
}
