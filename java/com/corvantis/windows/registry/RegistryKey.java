package com.corvantis.windows.registry;

import com.corvantis.windows.WindowsHandle;

/** An open registry key. */
public class RegistryKey extends WindowsHandle {
    public RegistryKey(long handle) {
        super(handle);
    }
}
