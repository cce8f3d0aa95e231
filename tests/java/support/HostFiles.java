package velaro.jvmtest.support;

import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;

/**
 * What the Linux host says about itself, read through Wine's Z: drive. Wine derives
 * its up time and processor idle time from these files, so under Wine they are a
 * source the tests can compare with; on Windows they are absent.
 */
public final class HostFiles {
    private static final String UPTIME = "Z:\\proc\\uptime";
    private static final String STAT = "Z:\\proc\\stat";

    private HostFiles() {
    }

    /** The host's up time in seconds, or -1 where there is no such file. */
    public static double upTimeSeconds() {
        String text = read(UPTIME);
        return text == null ? -1 : Double.parseDouble(text.trim().split(" ")[0]);
    }

    /**
     * The idle time summed over the host's processors in 100-nanosecond units, from
     * the per-processor lines of /proc/stat (counted in hundredths of a second), or -1
     * where there is no such file.
     */
    public static long idleTime100ns() {
        String text = read(STAT);
        if (text == null) {
            return -1;
        }
        long ticks = 0;
        for (String line : text.split("\n")) {
            if (line.startsWith("cpu") && line.length() > 3 && Character.isDigit(line.charAt(3))) {
                ticks += Long.parseLong(line.trim().split(" +")[4]);
            }
        }
        return ticks * 100000L;
    }

    private static String read(String path) {
        if (!new File(path).exists()) {
            if (Platform.isWine()) {
                throw new IllegalStateException("Wine shows no " + path);
            }
            return null;
        }
        try {
            // These files report a size of 0: read to the end.
            InputStream in = new FileInputStream(path);
            StringBuilder text = new StringBuilder();
            try {
                byte[] chunk = new byte[4096];
                for (int n; (n = in.read(chunk)) > 0;) {
                    for (int i = 0; i < n; ++i) {
                        text.append((char) (chunk[i] & 0xFF));
                    }
                }
            } finally {
                in.close();
            }
            return text.toString();
        } catch (IOException e) {
            throw new IllegalStateException("cannot read " + path + ": " + e, e);
        }
    }
}
