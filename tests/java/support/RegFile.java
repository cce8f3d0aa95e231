package velaro.jvmtest.support;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * The registry as reg.exe sees it: a key exported to, or values imported from, a .reg
 * file (UTF-16LE, "Windows Registry Editor Version 5.00"). Tests compare what the
 * bridge wrote or read with these, which never pass through the bridge.
 */
public final class RegFile {
    private static final String HEADER = "Windows Registry Editor Version 5.00";

    /** One value: its registry type and its bytes as stored. */
    public static final class Value {
        public final int type;
        public final byte[] data;

        Value(int type, byte[] data) {
            this.type = type;
            this.data = data;
        }
    }

    private final Map<String, Map<String, Value>> _sections;

    private RegFile(Map<String, Map<String, Value>> sections) {
        _sections = sections;
    }

    /** Exports a key and its sub-keys; {@code regPath} as reg.exe takes it (HKCU\...). */
    public static RegFile export(String regPath) {
        File file = temporaryFile();
        try {
            WindowsCommand.reg("export", regPath, file.getPath(), "/y").requireSuccess();
            return parse(utf16(read(file)));
        } finally {
            file.delete();
        }
    }

    /** Imports .reg lines (without the header) with reg.exe. */
    public static void importLines(String... lines) {
        StringBuilder text = new StringBuilder("\uFEFF" + HEADER + "\r\n\r\n");
        for (String line : lines) {
            text.append(line).append("\r\n");
        }
        File file = temporaryFile();
        try {
            write(file, text.append("\r\n").toString());
            WindowsCommand.reg("import", file.getPath()).requireSuccess();
        } finally {
            file.delete();
        }
    }

    /** The full names of the exported keys (HKEY_CURRENT_USER\...), in the file's order. */
    public List<String> keys() {
        return new ArrayList<String>(_sections.keySet());
    }

    /** The values of one exported key by name ("" for the default value); null if the key was not exported. */
    public Map<String, Value> values(String regPath) {
        return _sections.get(fullName(regPath));
    }

    /** HKCU\x as reg.exe's export names it. */
    public static String fullName(String regPath) {
        return regPath.startsWith("HKCU\\") ? "HKEY_CURRENT_USER" + regPath.substring(4) : regPath;
    }

    /** A string as the registry stores REG_SZ data: UTF-16LE with its terminating NUL. */
    public static byte[] utf16z(String text) {
        byte[] bytes = new byte[(text.length() + 1) * 2];
        for (int i = 0; i < text.length(); ++i) {
            bytes[2 * i] = (byte) text.charAt(i);
            bytes[2 * i + 1] = (byte) (text.charAt(i) >> 8);
        }
        return bytes;
    }

    /** A string as a .reg file quotes it. */
    public static String quote(String text) {
        return "\"" + text.replace("\\", "\\\\").replace("\"", "\\\"") + "\"";
    }

    /** Bytes as a .reg file writes them after hex: ("00,ff,10"). */
    public static String hexList(byte[] data) {
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < data.length; ++i) {
            text.append(i == 0 ? "" : ",").append(Character.forDigit((data[i] >> 4) & 0xF, 16))
                    .append(Character.forDigit(data[i] & 0xF, 16));
        }
        return text.toString();
    }

    private static RegFile parse(String text) {
        Map<String, Map<String, Value>> sections = new java.util.LinkedHashMap<String, Map<String, Value>>();
        Map<String, Value> current = null;
        // Long hex lists continue on the next line after a backslash.
        String[] lines = text.replace("\\\r\n", "").replace("\\\n", "").split("\r?\n");
        for (String raw : lines) {
            String line = raw.trim();
            if (line.startsWith("[") && line.endsWith("]")) {
                current = new HashMap<String, Value>();
                sections.put(line.substring(1, line.length() - 1), current);
            } else if (current != null && (line.startsWith("\"") || line.startsWith("@="))) {
                int[] end = new int[1];
                String name = line.startsWith("@=") ? "" : unquote(line, 0, end);
                int equals = line.startsWith("@=") ? 1 : end[0];
                current.put(name, value(line.substring(equals + 1)));
            }
        }
        return new RegFile(sections);
    }

    private static Value value(String text) {
        if (text.startsWith("\"")) {
            return new Value(1, utf16z(unquote(text, 0, new int[1])));
        }
        if (text.startsWith("dword:")) {
            int v = (int) Long.parseLong(text.substring(6), 16);
            return new Value(4, new byte[] {(byte) v, (byte) (v >> 8), (byte) (v >> 16), (byte) (v >> 24)});
        }
        int colon = text.indexOf(':');
        String kind = text.substring(0, colon);
        int type = kind.equals("hex") ? 3 : Integer.parseInt(kind.substring(4, kind.length() - 1), 16);
        String list = text.substring(colon + 1).replace(" ", "");
        if (list.isEmpty()) {
            return new Value(type, new byte[0]);
        }
        String[] parts = list.split(",");
        byte[] data = new byte[parts.length];
        for (int i = 0; i < parts.length; ++i) {
            data[i] = (byte) Integer.parseInt(parts[i], 16);
        }
        return new Value(type, data);
    }

    /** The text of a quoted .reg string starting at {@code start}; end[0] gets the index after it. */
    private static String unquote(String line, int start, int[] end) {
        StringBuilder text = new StringBuilder();
        int i = start + 1;
        for (; line.charAt(i) != '"'; ++i) {
            if (line.charAt(i) == '\\') {
                ++i;
            }
            text.append(line.charAt(i));
        }
        end[0] = i + 1;
        return text.toString();
    }

    private static File temporaryFile() {
        return Platform.temporaryFile("velaro-jvmtest-", ".reg");
    }

    // UTF-16LE by hand: this JVM's byte buffers read big-endian only.
    private static String utf16(byte[] bytes) {
        int start = bytes.length >= 2 && (bytes[0] & 0xFF) == 0xFF && (bytes[1] & 0xFF) == 0xFE ? 2 : 0;
        char[] chars = new char[(bytes.length - start) / 2];
        for (int i = 0; i < chars.length; ++i) {
            chars[i] = (char) ((bytes[start + 2 * i] & 0xFF) | ((bytes[start + 2 * i + 1] & 0xFF) << 8));
        }
        return new String(chars);
    }

    private static byte[] read(File file) {
        try {
            FileInputStream in = new FileInputStream(file);
            try {
                ByteArrayOutputStream bytes = new ByteArrayOutputStream();
                byte[] chunk = new byte[8192];
                for (int n; (n = in.read(chunk)) > 0;) {
                    bytes.write(chunk, 0, n);
                }
                return bytes.toByteArray();
            } finally {
                in.close();
            }
        } catch (IOException e) {
            throw new IllegalStateException("cannot read " + file, e);
        }
    }

    private static void write(File file, String text) {
        byte[] bytes = utf16z(text);
        try {
            FileOutputStream out = new FileOutputStream(file);
            try {
                out.write(bytes, 0, bytes.length - 2);
            } finally {
                out.close();
            }
        } catch (IOException e) {
            throw new IllegalStateException("cannot write " + file, e);
        }
    }
}
