package com.corvantis.windows.security;

import com.corvantis.windows.WindowsHandle;

/** An access token opened for a process; closed with {@link #close()}. */
public class AccessToken extends WindowsHandle {
    public AccessToken(long handle) {
        super(handle);
    }
}
