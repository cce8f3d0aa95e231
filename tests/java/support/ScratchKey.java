package velaro.jvmtest.support;

import com.corvantis.windows.registry.RegistryKey;
import com.corvantis.windows.registry.RegistryRoot;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;

/**
 * A registry key of a test's own, HKCU\Software\VelaroJvmTest-BRIDGE-N, with a name no
 * other run uses (runs on one Windows account share HKCU). {@link #delete()} removes
 * it with everything below it.
 */
public final class ScratchKey {
    private static final Random NAMES = new Random();

    private final String _name;
    private final RegistryKey _software;
    private final RegistryKey _key;

    private ScratchKey(String name, RegistryKey software, RegistryKey key) {
        _name = name;
        _software = software;
        _key = key;
    }

    public static ScratchKey create() {
        String name = "VelaroJvmTest-" + Bridge.name() + "-" + Long.toHexString(NAMES.nextLong() & Long.MAX_VALUE);
        RegistryKey user = RegistryRoot.openRegistryCurrentUser(RegistryKey.KEY_ALL_ACCESS);
        RegistryKey software;
        try {
            software = user.openSubKey("Software", RegistryKey.KEY_ALL_ACCESS);
        } finally {
            user.close();
        }
        return new ScratchKey(name, software, software.createAndGetSubKey(name, false, RegistryKey.KEY_ALL_ACCESS));
    }

    /** The open key, with all access. */
    public RegistryKey key() {
        return _key;
    }

    /** The key's name below HKCU\Software. */
    public String name() {
        return _name;
    }

    /** The key's path as reg.exe takes it. */
    public String regPath() {
        return "HKCU\\Software\\" + _name;
    }

    /** Closes the key and deletes it and its sub-keys. */
    public void delete() {
        _key.close();
        deleteTree(_software, _name);
        _software.close();
    }

    private static void deleteTree(RegistryKey parent, String name) {
        RegistryKey key = parent.openSubKey(name, RegistryKey.KEY_ALL_ACCESS);
        List<String> children = new ArrayList<String>();
        try {
            key.addAvailableSubKeys(children);
            for (String child : children) {
                deleteTree(key, child);
            }
        } finally {
            key.close();
        }
        parent.deleteSubKey(name);
    }
}
