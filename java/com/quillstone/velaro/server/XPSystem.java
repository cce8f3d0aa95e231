package com.quillstone.velaro.server;

import com.corvantis.windows.security.UserToken;

/**
 * User logon and the machine's idle time (fullbridge only). Windows failures are
 * raised as {@link CodedSystemException}.
 */
public final class XPSystem {
    private XPSystem() {
    }

    /** The processor idle time summed over all processors, in 100-nanosecond units. */
    public static native long getSystemIdleTime();

    /**
     * Logs a user on with LogonUserW.
     *
     * @param domain null for a user name in UPN form
     * @param password the password followed by a NUL character; the native side never
     *        writes the array, and zeroes the copy the virtual machine makes of it
     * @param logonType a LOGON32_LOGON_ value
     * @param logonProvider a LOGON32_PROVIDER_ value
     * @throws IllegalArgumentException if the password holds no NUL character
     */
    public static native UserToken logonUser(String userName, String domain, char[] password, int logonType,
            int logonProvider);
}
