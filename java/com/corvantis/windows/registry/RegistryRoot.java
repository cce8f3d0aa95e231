package com.corvantis.windows.registry;

import com.corvantis.windows.WindowsHandle;

/**
 * A predefined registry key. Predefined keys are never closed; a key of another
 * machine is reached through {@link #connectRemoteKey(String)}.
 */
public final class RegistryRoot extends WindowsHandle {
    // Windows' predefined handles are 32-bit values sign-extended to pointer width.
    public static final RegistryRoot HKEY_CLASSES_ROOT = new RegistryRoot(0x80000000);
    public static final RegistryRoot HKEY_CURRENT_USER = new RegistryRoot(0x80000001);
    public static final RegistryRoot HKEY_LOCAL_MACHINE = new RegistryRoot(0x80000002);
    public static final RegistryRoot HKEY_USERS = new RegistryRoot(0x80000003);
    public static final RegistryRoot HKEY_PERFORMANCE_DATA = new RegistryRoot(0x80000004);
    public static final RegistryRoot HKEY_CURRENT_CONFIG = new RegistryRoot(0x80000005);

    private RegistryRoot(int predefinedKey) {
        super(predefinedKey);
    }

    /** The root of the user the calling thread runs as (or impersonates). */
    public static native RegistryKey openRegistryCurrentUser(int samDesired);

    /** The classes root of the user whose access token {@code token} holds. */
    public static native RegistryKey openRegistryUserClassesRoot(WindowsHandle token, int samDesired);

    /**
     * This predefined key on the machine {@code machineName} (given without leading
     * backslashes); null connects the local machine's.
     */
    public native RegistryKey connectRemoteKey(String machineName);

    /** Predefined keys are not closed. */
    @Override
    public void close() {
    }
}
