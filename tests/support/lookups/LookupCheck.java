import java.io.ByteArrayInputStream;
import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.function.Function;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;

/**
 * Checks the class and member lookups that the native libraries made during the
 * test suite (FindClass, GetFieldID, GetStaticFieldID, GetMethodID,
 * GetStaticMethodID, as the JNI host logged them) against the classes of the
 * shipped jar and the JDK, resolving members through superclasses and
 * interfaces the way the JVM does. The host's classes are hand-written models:
 * a lookup that they satisfy and the shipped classes do not would fail on a real
 * JVM with NoClassDefFoundError, NoSuchFieldError or NoSuchMethodError.
 *
 * <p>Usage: LookupCheck [--expect FILE] JAR LOG_DIR. Exits 1 when a lookup
 * fails; with --expect, exits 0 exactly when the failing lookups are the lines
 * of FILE (function, class, member and signature, tab-separated).
 */
public final class LookupCheck {
  private static final int ACC_STATIC = 0x0008;
  private static final int ACC_INTERFACE = 0x0200;

  /** What a class file declares, as far as resolution needs it. */
  static final class ClassInfo {
    String name;
    String superName;
    boolean isInterface;
    final List<String> interfaces = new ArrayList<>();
    final Map<String, Integer> fields = new HashMap<>(); // name + descriptor -> access flags
    final Map<String, Integer> methods = new HashMap<>();
  }

  /**
   * One logged lookup. A member found in a test-only model class (testOnlyClass)
   * but declared by a shipped one is checked against the class declaring it.
   */
  record Lookup(String function, String cls, String name, String sig, String owner, boolean testOnly,
      boolean testOnlyClass, String where) {
    String key() {
      return String.join("\t", function, cls, name, sig);
    }
  }

  private final ZipFile jar;
  private final Map<String, ClassInfo> loaded = new HashMap<>();

  private LookupCheck(ZipFile jar) {
    this.jar = jar;
  }

  public static void main(String[] args) throws IOException {
    Path expect = null;
    int first = 0;
    if (args.length > 0 && args[0].equals("--expect")) {
      expect = Paths.get(args[1]);
      first = 2;
    }
    if (args.length - first != 2) {
      System.err.println("usage: LookupCheck [--expect FILE] JAR LOG_DIR");
      System.exit(2);
    }
    List<Lookup> lookups = readLogs(Paths.get(args[first + 1]));
    try (ZipFile jar = new ZipFile(args[first])) {
      System.exit(new LookupCheck(jar).run(lookups, expect));
    }
  }

  private int run(List<Lookup> lookups, Path expect) throws IOException {
    Map<String, String> failures = new TreeMap<>();
    TreeSet<String> testOnly = new TreeSet<>();
    int checked = 0;
    for (Lookup l : lookups) {
      if (l.testOnly() || l.testOnlyClass()) testOnly.add(l.testOnly() ? l.owner().isEmpty() ? l.cls() : l.owner() : l.cls());
      if (l.testOnly()) continue;
      ++checked;
      String problem = check(l);
      if (problem != null) {
        failures.putIfAbsent(l.key(), problem + " (looked up by " + l.where() + ")");
      }
    }
    System.out.println(checked + " lookups checked against " + jar.getName() + " and the JDK");
    if (!testOnly.isEmpty()) {
      System.out.println("not checked, test-only model classes: " + String.join(", ", testOnly));
    }
    for (String f : failures.values()) System.out.println("FAIL " + f);
    if (expect != null) {
      TreeSet<String> wanted = new TreeSet<>();
      for (String line : Files.readAllLines(expect, StandardCharsets.UTF_8)) {
        if (!line.isBlank() && !line.startsWith("#")) wanted.add(line);
      }
      boolean same = wanted.equals(new TreeSet<>(failures.keySet()));
      if (!same) System.out.println("expected failures: " + wanted + "\nfound: " + failures.keySet());
      return same ? 0 : 1;
    }
    return failures.isEmpty() ? 0 : 1;
  }

  private static List<Lookup> readLogs(Path dir) throws IOException {
    List<Lookup> out = new ArrayList<>();
    List<Path> logs;
    try (Stream<Path> files = Files.list(dir)) {
      logs = files.filter(p -> p.toString().endsWith(".log")).sorted().toList();
    }
    for (Path log : logs) {
      String program = log.getFileName().toString().replaceFirst("\\.log$", "");
      for (String line : Files.readAllLines(log, StandardCharsets.UTF_8)) {
        if (line.isBlank()) continue;
        String[] f = line.split("\t", -1);
        if (f.length != 7) throw new IOException(log + ": malformed line: " + line);
        if (!f[5].equals("shipped") && !f[5].equals("test-only") && !f[5].equals("test-only class")) {
          throw new IOException(log + ": unknown kind " + f[5] + " in line: " + line);
        }
        out.add(new Lookup(f[0], f[1], f[2], f[3], f[4], f[5].equals("test-only"), f[5].equals("test-only class"),
            program + " " + f[6]));
      }
    }
    return out;
  }

  /** Null when the lookup succeeds against the shipped classes, else the JVM's error. */
  private String check(Lookup l) throws IOException {
    String cls = l.testOnlyClass() ? l.owner() : l.cls();
    String what = cls + (l.name().isEmpty() ? "" : "." + l.name() + " " + l.sig());
    if (cls.startsWith("[")) {
      String element = cls.replaceFirst("^\\[+", "");
      if (element.length() == 1) return null;
      cls = element.substring(1, element.length() - 1);
      if (!l.function().equals("FindClass")) return l.function() + " on array class " + l.cls();
    }
    ClassInfo c = load(cls);
    if (c == null) return "NoClassDefFoundError: " + cls + " is in neither the jar nor the JDK, for " + what;
    switch (l.function()) {
      case "FindClass":
        return null;
      case "GetFieldID":
      case "GetStaticFieldID": {
        boolean wantStatic = l.function().equals("GetStaticFieldID");
        Integer flags = findField(c, l.name(), l.sig(), wantStatic);
        return flags != null ? null : "NoSuchFieldError: " + what + (wantStatic ? " (static)" : "");
      }
      case "GetMethodID":
      case "GetStaticMethodID": {
        boolean wantStatic = l.function().equals("GetStaticMethodID");
        Integer flags = findMethod(c, l.name(), l.sig());
        if (flags == null) return "NoSuchMethodError: " + what;
        if (((flags & ACC_STATIC) != 0) != wantStatic) {
          return "NoSuchMethodError: " + what + " is " + (wantStatic ? "not " : "") + "static";
        }
        return null;
      }
      default:
        return "unknown lookup function " + l.function();
    }
  }

  // As the JVM resolves a field: the class, then (static fields only) its
  // interfaces, then its superclass.
  private Integer findField(ClassInfo c, String name, String sig, boolean wantStatic) throws IOException {
    for (ClassInfo k = c; k != null; k = load(k.superName)) {
      Integer flags = k.fields.get(name + sig);
      if (flags != null && ((flags & ACC_STATIC) != 0) == wantStatic) return flags;
      if (wantStatic) {
        Integer fromInterface = inInterfaces(k, c2 -> c2.fields, name + sig, true);
        if (fromInterface != null) return fromInterface;
      }
    }
    return null;
  }

  // As JNI finds a method: a constructor only in the class itself; any other
  // method in the class and its superclasses, then in all its interfaces.
  private Integer findMethod(ClassInfo c, String name, String sig) throws IOException {
    if (name.equals("<init>")) return c.methods.get(name + sig);
    for (ClassInfo k = c; k != null; k = load(k.superName)) {
      Integer flags = k.methods.get(name + sig);
      if (flags != null) return flags;
    }
    for (ClassInfo k = c; k != null; k = load(k.superName)) {
      Integer flags = inInterfaces(k, c2 -> c2.methods, name + sig, false);
      if (flags != null) return flags;
    }
    if (c.isInterface) return load("java/lang/Object").methods.get(name + sig);
    return null;
  }

  // The member `key` (name and descriptor) in the interfaces of a class, depth
  // first; static ones count only for fields (an interface's static methods are
  // not inherited).
  private Integer inInterfaces(ClassInfo c, Function<ClassInfo, Map<String, Integer>> members, String key,
      boolean staticCounts) throws IOException {
    for (String i : c.interfaces) {
      ClassInfo k = load(i);
      if (k == null) continue;
      Integer flags = members.apply(k).get(key);
      if (flags != null && (staticCounts || (flags & ACC_STATIC) == 0)) return flags;
      flags = inInterfaces(k, members, key, staticCounts);
      if (flags != null) return flags;
    }
    return null;
  }

  /** The class from the jar, else from the JDK; null when neither has it. */
  private ClassInfo load(String name) throws IOException {
    if (name == null) return null;
    if (loaded.containsKey(name)) return loaded.get(name);
    byte[] bytes = null;
    ZipEntry entry = jar.getEntry(name + ".class");
    if (entry != null) {
      try (InputStream in = jar.getInputStream(entry)) {
        bytes = in.readAllBytes();
      }
    } else {
      try (InputStream in = ClassLoader.getSystemResourceAsStream(name + ".class")) {
        if (in != null) bytes = in.readAllBytes();
      }
    }
    ClassInfo c = bytes != null ? parse(bytes) : null;
    loaded.put(name, c);
    return c;
  }

  /** Reads the names, supertypes, fields and methods of a class file. */
  static ClassInfo parse(byte[] bytes) throws IOException {
    DataInputStream in = new DataInputStream(new ByteArrayInputStream(bytes));
    if (in.readInt() != 0xCAFEBABE) throw new IOException("not a class file");
    in.readUnsignedShort();
    in.readUnsignedShort();
    int count = in.readUnsignedShort();
    String[] utf8 = new String[count];
    int[] classNameIndex = new int[count];
    for (int i = 1; i < count; ++i) {
      int tag = in.readUnsignedByte();
      switch (tag) {
        case 1 -> utf8[i] = in.readUTF();
        case 7 -> classNameIndex[i] = in.readUnsignedShort();
        case 8, 16, 19, 20 -> in.readUnsignedShort();
        case 3, 4, 9, 10, 11, 12, 17, 18 -> in.readInt();
        case 15 -> {
          in.readUnsignedByte();
          in.readUnsignedShort();
        }
        case 5, 6 -> {
          in.readLong();
          ++i;
        }
        default -> throw new IOException("unknown constant pool tag " + tag);
      }
    }
    ClassInfo c = new ClassInfo();
    int access = in.readUnsignedShort();
    c.isInterface = (access & ACC_INTERFACE) != 0;
    c.name = utf8[classNameIndex[in.readUnsignedShort()]];
    int superIndex = in.readUnsignedShort();
    c.superName = superIndex == 0 ? null : utf8[classNameIndex[superIndex]];
    int interfaces = in.readUnsignedShort();
    for (int i = 0; i < interfaces; ++i) c.interfaces.add(utf8[classNameIndex[in.readUnsignedShort()]]);
    readMembers(in, utf8, c.fields);
    readMembers(in, utf8, c.methods);
    return c;
  }

  private static void readMembers(DataInputStream in, String[] utf8, Map<String, Integer> into) throws IOException {
    int count = in.readUnsignedShort();
    for (int i = 0; i < count; ++i) {
      int access = in.readUnsignedShort();
      String name = utf8[in.readUnsignedShort()];
      String descriptor = utf8[in.readUnsignedShort()];
      into.put(name + descriptor, access);
      int attributes = in.readUnsignedShort();
      for (int a = 0; a < attributes; ++a) {
        in.readUnsignedShort();
        in.skipNBytes(in.readInt() & 0xFFFFFFFFL);
      }
    }
  }
}
