package velaro.jvmtest.support;

/** Which bridge library this run loaded, and where the deliverables are (set by the runner). */
public final class Bridge {
    public static final String FULL = "fullbridge";
    public static final String CORE = "corebridge";
    static final String NAME_PROPERTY = "velaro.bridge";
    static final String FOLDER_PROPERTY = "velaro.deliverables";

    private Bridge() {
    }

    /** "fullbridge" or "corebridge". */
    public static String name() {
        return required(NAME_PROPERTY);
    }

    public static boolean isFull() {
        return FULL.equals(name());
    }

    /** The Windows path of a file in the deliverables folder. */
    public static String file(String fileName) {
        String folder = required(FOLDER_PROPERTY);
        return folder.endsWith("\\") ? folder + fileName : folder + "\\" + fileName;
    }

    private static String required(String property) {
        String value = System.getProperty(property);
        if (value == null) {
            throw new IllegalStateException(property + " is not set: run the tests through SuiteRunner");
        }
        return value;
    }
}
