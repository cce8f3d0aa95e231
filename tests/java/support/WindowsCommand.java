package velaro.jvmtest.support;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * Runs a Windows program through the JVM's own process support (not through the
 * classes under test) and keeps its exit code and output, so tests can compare what
 * the bridge did with what cmd.exe or reg.exe report.
 */
public final class WindowsCommand {
    private final int _exitCode;
    private final String _output;

    private WindowsCommand(int exitCode, String output) {
        _exitCode = exitCode;
        _output = output;
    }

    /** Runs a program with its arguments and waits for it; standard error is read and dropped. */
    public static WindowsCommand run(String... command) {
        try {
            Process process = start(command);
            process.getOutputStream().close();
            Drain errors = new Drain(process.getErrorStream());
            errors.start();
            byte[] output = readAll(process.getInputStream());
            int code = process.waitFor();
            errors.join();
            return new WindowsCommand(code, ascii(output));
        } catch (IOException e) {
            throw new IllegalStateException("cannot run " + command[0] + ": " + e, e);
        } catch (InterruptedException e) {
            throw new IllegalStateException("interrupted while " + command[0] + " ran", e);
        }
    }

    private static Process start(String[] command) throws IOException {
        for (int attempt = 1;; ++attempt) {
            try {
                return Runtime.getRuntime().exec(command);
            } catch (IOException e) {
                if (!Children.lostByWine(e) || attempt == Children.attempts()) {
                    throw e;
                }
            }
        }
    }

    /** cmd.exe /c with the given command text. */
    public static WindowsCommand cmd(String commandText) {
        return run("cmd.exe", "/c", commandText);
    }

    /** reg.exe with the given arguments (query, add, delete, ...). */
    public static WindowsCommand reg(String... arguments) {
        String[] command = new String[arguments.length + 1];
        command[0] = "reg.exe";
        System.arraycopy(arguments, 0, command, 1, arguments.length);
        return run(command);
    }

    public int exitCode() {
        return _exitCode;
    }

    public String output() {
        return _output;
    }

    /** The output's lines without their line ends (blank lines kept). */
    public List<String> lines() {
        List<String> lines = new ArrayList<String>();
        for (String line : _output.split("\r?\n", -1)) {
            lines.add(line);
        }
        if (!lines.isEmpty() && lines.get(lines.size() - 1).isEmpty()) {
            lines.remove(lines.size() - 1);
        }
        return Collections.unmodifiableList(lines);
    }

    /** Fails unless the program ended with exit code 0; returns this for chaining. */
    public WindowsCommand requireSuccess() {
        if (_exitCode != 0) {
            throw new IllegalStateException("exit code " + _exitCode + ", output: " + _output);
        }
        return this;
    }

    private static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        byte[] chunk = new byte[4096];
        for (int n; (n = in.read(chunk)) > 0;) {
            bytes.write(chunk, 0, n);
        }
        in.close();
        return bytes.toByteArray();
    }

    // Console programs write the OEM code page; tests compare only ASCII text.
    private static String ascii(byte[] bytes) {
        char[] chars = new char[bytes.length];
        for (int i = 0; i < bytes.length; ++i) {
            chars[i] = (char) (bytes[i] & 0xFF);
        }
        return new String(chars);
    }

    /** Reads a stream to its end so the child never blocks on a full pipe. */
    private static final class Drain extends Thread {
        private final InputStream _in;

        Drain(InputStream in) {
            _in = in;
        }

        @Override
        public void run() {
            try {
                readAll(_in);
            } catch (IOException e) {
                // The child's error text is not used.
            }
        }
    }
}
