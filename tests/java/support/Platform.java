package velaro.jvmtest.support;

import java.io.File;

/** What the tests run on, for the few answers that differ between Wine and Windows or between JVMs. */
public final class Platform {
    private Platform() {
    }

    /** Wine puts its own variables into every process environment. */
    public static boolean isWine() {
        return System.getenv("WINECONFIGDIR") != null || System.getenv("WINELOADER") != null;
    }

    /** Avian, the small JVM the suite runs on under Wine (it sets no java.vm.name). */
    public static boolean isAvian() {
        try {
            Class.forName("avian.Machine");
            return true;
        } catch (ClassNotFoundException e) {
            return false;
        }
    }

    /** A path in the temporary folder that nothing uses yet: prefix, a unique number, suffix. */
    public static File temporaryFile(String prefix, String suffix) {
        String parent = System.getProperty("java.io.tmpdir");
        while (parent.endsWith("\\") || parent.endsWith("/")) {
            parent = parent.substring(0, parent.length() - 1);
        }
        return new File(parent + File.separator + prefix + System.nanoTime() + suffix);
    }

    /**
     * A new, empty folder under the temporary folder. Avian's File keeps the doubled
     * separator that a parent ending in a backslash would give, so the path is built here.
     */
    public static File newTemporaryFolder(String prefix) {
        File folder = temporaryFile(prefix, "");
        if (!folder.mkdir()) {
            throw new IllegalStateException("cannot make " + folder);
        }
        return folder;
    }
}
