package velaro.jvmtest.support;

import com.corvantis.process.WindowsProcess;
import com.corvantis.windows.process.StartupInfo;
import com.quillstone.velaro.server.CodedSystemException;
import com.quillstone.velaro.server.WindowsSystem;
import java.io.IOException;

/**
 * Child processes for the tests. Wine now and then loses a child while it starts
 * (CreateProcess answers ERROR_INTERNAL_ERROR, and the JVM's own exec "Internal
 * error"), more often when two suites start children at once: such a start is tried
 * again, a few times. Any other failure is the test's to see.
 */
public final class Children {
    public static final int ERROR_INTERNAL_ERROR = 1359;
    private static final int ATTEMPTS = 3;

    private Children() {
    }

    /** WindowsSystem.CreateProcess, tried again only when Wine lost the child. */
    public static WindowsProcess create(String application, String commandLine, boolean inherit, int flags,
            String environment, String directory, StartupInfo startup) {
        for (int attempt = 1;; ++attempt) {
            try {
                return WindowsSystem.CreateProcess(application, commandLine, inherit, flags, environment, directory,
                        startup);
            } catch (CodedSystemException e) {
                if (e.getCode() != ERROR_INTERNAL_ERROR || attempt == ATTEMPTS) {
                    throw e;
                }
            }
        }
    }

    /** True for the JVM's report of a child Wine lost (ERROR_INTERNAL_ERROR's text). */
    static boolean lostByWine(IOException e) {
        String message = e.getMessage();
        return message != null && message.indexOf("Internal error") >= 0;
    }

    static int attempts() {
        return ATTEMPTS;
    }
}
