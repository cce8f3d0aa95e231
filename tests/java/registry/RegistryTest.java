package velaro.jvmtest.registry;

import com.corvantis.windows.registry.InvalidRegistryTypeException;
import com.corvantis.windows.registry.RegistryKey;
import com.quillstone.velaro.server.CodedSystemException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.HashSet;
import java.util.Iterator;
import java.util.List;
import java.util.Map;
import java.util.NoSuchElementException;
import java.util.Set;
import junit.framework.TestCase;
import velaro.jvmtest.support.RegFile;
import velaro.jvmtest.support.ScratchKey;
import velaro.jvmtest.support.WindowsCommand;

/** RegistryKey and RegistryRoot as the application uses them, checked against reg.exe. */
public class RegistryTest extends TestCase {
    private static final int ERROR_ACCESS_DENIED = 5;
    private static final int ERROR_INVALID_HANDLE = 6;

    private ScratchKey _scratch;
    private RegistryKey _key;

    @Override
    protected void setUp() {
        _scratch = ScratchKey.create();
        _key = _scratch.key();
    }

    @Override
    protected void tearDown() {
        _scratch.delete();
    }

    public void testEveryTypeWrittenHereAsRegExportShowsIt() {
        String text = "two words \u00e9\u65e5";
        String expandable = "%SystemRoot%\\x";
        byte[] binary = {0, (byte) 0xFF, 0x10, (byte) 0x80};
        _key.setStringValue("s", text);
        _key.setStringValue("empty", "");
        _key.setStringValue(null, "default text");
        _key.setExpandableStringValue("e", expandable);
        _key.setBinaryValue("b", binary);
        _key.setBinaryValue("b0", new byte[0]);
        _key.setIntValue("d", 0x89ABCDEF);
        _key.setLongValue("q", 0x0123456789ABCDEFL);
        _key.setMultiStringValue("m", new String[] {"a", "b c"});
        _key.setMultiStringValue("mi", Arrays.asList("x", "\u00fcber").iterator());
        _key.setMultiStringValue("m0", new String[0]);

        Map<String, RegFile.Value> exported = RegFile.export(_scratch.regPath()).values(_scratch.regPath());
        Object[][] expected = {
            {"s", RegistryKey.REG_SZ, RegFile.utf16z(text)},
            {"empty", RegistryKey.REG_SZ, RegFile.utf16z("")},
            {"", RegistryKey.REG_SZ, RegFile.utf16z("default text")},
            {"e", RegistryKey.REG_EXPAND_SZ, RegFile.utf16z(expandable)},
            {"b", RegistryKey.REG_BINARY, binary},
            {"b0", RegistryKey.REG_BINARY, new byte[0]},
            {"d", RegistryKey.REG_DWORD, new byte[] {(byte) 0xEF, (byte) 0xCD, (byte) 0xAB, (byte) 0x89}},
            {"q", RegistryKey.REG_QWORD, new byte[] {(byte) 0xEF, (byte) 0xCD, (byte) 0xAB, (byte) 0x89, 0x67, 0x45,
                0x23, 0x01}},
            {"m", RegistryKey.REG_MULTI_SZ, RegFile.utf16z("a\0b c\0")},
            {"mi", RegistryKey.REG_MULTI_SZ, RegFile.utf16z("x\0\u00fcber\0")},
            {"m0", RegistryKey.REG_MULTI_SZ, new byte[] {0, 0}},
        };
        assertEquals(exported.keySet().toString(), expected.length, exported.size());
        assertEquals(expected.length, _key.getNumberValues());
        for (Object[] e : expected) {
            RegFile.Value value = exported.get(e[0]);
            assertNotNull("not exported: " + e[0], value);
            assertEquals("type of " + e[0], ((Integer) e[1]).intValue(), value.type);
            assertEquals("data of " + e[0], RegFile.hexList((byte[]) e[2]), RegFile.hexList(value.data));
        }

        assertEquals(text, _key.getStringValue("s"));
        assertEquals("", _key.getStringValue("empty"));
        assertEquals("default text", _key.getStringValue(null));
        assertEquals(expandable, _key.getExpandableStringValue("e"));
        assertEquals(RegFile.hexList(binary), RegFile.hexList(_key.getBinaryValue("b")));
        assertEquals(0, _key.getBinaryValue("b0").length);
        assertEquals(0x89ABCDEF, _key.getIntValue("d"));
        assertEquals(0x0123456789ABCDEFL, _key.getLongValue("q"));
        assertEquals("a|b c", join(multiString("m")));
        assertEquals("x|\u00fcber", join(multiString("mi")));
        assertEquals("", join(multiString("m0")));
    }

    public void testValuesImportedByRegReadThroughTheBridge() {
        StringBuilder longText = new StringBuilder();
        while (longText.length() < 300) {
            longText.append("0123456789");
        }
        String quoted = "say \"hi\" to C:\\dir";
        String key = "[" + RegFile.fullName(_scratch.regPath()) + "]";
        RegFile.importLines(key,
                "@=\"the default\"",
                "\"s\"=" + RegFile.quote(quoted),
                "\"long\"=" + RegFile.quote(longText.toString()),
                "\"e\"=hex(2):" + RegFile.hexList(RegFile.utf16z("%SystemRoot%\\sub")),
                "\"b\"=hex:01,02,fe",
                "\"d\"=dword:fffffffe",
                "\"q\"=hex(b):08,07,06,05,04,03,02,81",
                "\"m\"=hex(7):" + RegFile.hexList(RegFile.utf16z("one\0two words\0")),
                "\"nonul\"=hex(1):41,00,42,00",
                "\"twonuls\"=hex(1):41,00,00,00,00,00");

        assertEquals("the default", _key.getStringValue(null));
        assertEquals(quoted, _key.getStringValue("s"));
        assertEquals(quoted, _key.resolveStringValue("s"));
        assertEquals(longText.toString(), _key.getStringValue("long"));
        assertEquals("%SystemRoot%\\sub", _key.getExpandableStringValue("e"));
        assertEquals(System.getenv("SystemRoot") + "\\sub", _key.resolveStringValue("e"));
        assertEquals("01,02,fe", RegFile.hexList(_key.getBinaryValue("b")));
        assertEquals(-2, _key.getIntValue("d"));
        assertEquals(0x8102030405060708L, _key.getLongValue("q"));
        assertEquals("AB", _key.getStringValue("nonul"));
        assertEquals("A\0", _key.getStringValue("twonuls"));

        List<String> list = new ArrayList<String>();
        assertTrue(_key.addMultiStringValuesTo("m", list));
        assertEquals("one|two words", join(list));
        Set<String> set = new HashSet<String>(list);
        assertFalse("nothing new for the set", _key.addMultiStringValuesTo("m", set));
        assertEquals(2, set.size());
    }

    public void testEnumerationIntoRealCollections() {
        StringBuilder longName = new StringBuilder();
        while (longName.length() < 200) {
            longName.append("long-name-");
        }
        String[] subKeys = {"alpha", "beta gamma", longName.toString()};
        for (String name : subKeys) {
            _key.createAndGetSubKey(name, false, RegistryKey.KEY_READ).close();
        }
        _key.setStringValue(null, "default");
        _key.setIntValue("count", 3);
        _key.setMultiStringValue("list", new String[] {"x"});
        _key.setBinaryValue("raw", new byte[] {1});

        List<String> names = new ArrayList<String>();
        assertTrue(_key.addAvailableSubKeys(names));
        assertEquals(sorted(Arrays.asList(subKeys)), sorted(names));
        Set<String> known = new HashSet<String>(names);
        assertFalse("nothing new for the set", _key.addAvailableSubKeys(known));
        assertEquals(subKeys.length, known.size());
        assertEquals(subKeys.length, _key.getNumberSubKeys());

        RegFile exported = RegFile.export(_scratch.regPath());
        List<String> exportedChildren = new ArrayList<String>();
        String prefix = RegFile.fullName(_scratch.regPath()) + "\\";
        for (String k : exported.keys()) {
            if (k.startsWith(prefix)) {
                exportedChildren.add(k.substring(prefix.length()));
            }
        }
        assertEquals(sorted(exportedChildren), sorted(names));

        Map<String, Integer> types = new HashMap<String, Integer>();
        _key.addAvailableValues(types);
        Map<String, RegFile.Value> values = exported.values(_scratch.regPath());
        assertEquals(values.size(), types.size());
        for (Map.Entry<String, RegFile.Value> e : values.entrySet()) {
            assertEquals(e.getKey(), Integer.valueOf(e.getValue().type), types.get(e.getKey()));
        }
        assertEquals(Integer.valueOf(RegistryKey.REG_SZ), types.get(""));
        assertEquals(Integer.valueOf(RegistryKey.REG_DWORD), types.get("count"));
    }

    public void testSubKeysCreatedOpenedCountedDeleted() throws Exception {
        long before = System.currentTimeMillis();
        RegistryKey child = _key.createAndGetSubKey("child", false, RegistryKey.KEY_ALL_ACCESS);
        child.setStringValue("v", "first");
        child.close();
        assertEquals(0, child.getHandle());
        RegistryKey again = _key.createAndGetSubKey("child", false, RegistryKey.KEY_ALL_ACCESS);
        assertEquals("an existing key opens as it is", "first", again.getStringValue("v"));
        long after = System.currentTimeMillis();
        long written = again.getLastWriteTime();
        // Registry times come from the same clock; allow for its resolution.
        assertTrue(before + " <= " + written + " <= " + after, written >= before - 2000 && written <= after + 2000);
        again.close();
        _key.createAndGetSubKey("volatile", true, RegistryKey.KEY_READ).close();
        assertEquals(2, _key.getNumberSubKeys());
        assertEquals(0, WindowsCommand.reg("query", _scratch.regPath() + "\\volatile").exitCode());

        RegistryKey reader = _key.openSubKey("child", RegistryKey.KEY_READ);
        RegistryKey second = reader.openSubKey(null, RegistryKey.KEY_READ);
        reader.close();
        assertEquals("an independent object for the same key", "first", second.getStringValue("v"));
        try {
            second.setStringValue("v", "refused");
            fail("a key opened for reading took a write");
        } catch (CodedSystemException expected) {
            assertEquals(ERROR_ACCESS_DENIED, expected.getCode());
        }
        second.close();

        RegistryKey parent = _key.openSubKey("child", RegistryKey.KEY_ALL_ACCESS);
        parent.createAndGetSubKey("grandchild", false, RegistryKey.KEY_READ).close();
        parent.close();
        try {
            _key.deleteSubKey("child");
            fail("a key with sub-keys was deleted");
        } catch (CodedSystemException expected) {
            assertEquals(ERROR_ACCESS_DENIED, expected.getCode());
        }
        RegistryKey opened = _key.openSubKey("child", RegistryKey.KEY_ALL_ACCESS);
        assertTrue(opened.deleteSubKey("grandchild"));
        opened.close();
        assertTrue(_key.deleteSubKey("child"));
        assertFalse(_key.deleteSubKey("child"));
        assertEquals(1, _key.getNumberSubKeys());
        assertTrue("reg.exe still finds it", WindowsCommand.reg("query", _scratch.regPath() + "\\child").exitCode() != 0);
        try {
            _key.openSubKey("child", RegistryKey.KEY_READ);
            fail("opened a deleted key");
        } catch (NoSuchElementException expected) {
            assertEquals("child", expected.getMessage());
        }

        _key.setIntValue("gone", 1);
        assertTrue(_key.deleteValue("gone"));
        assertFalse(_key.deleteValue("gone"));
        assertEquals(0, _key.getNumberValues());
    }

    /** One call and what the application expects to catch from it. */
    private abstract static class Refusal {
        final String what;

        Refusal(String what) {
            this.what = what;
        }

        abstract void call();
    }

    public void testRefusalsAsTheApplicationCatchesThem() {
        _key.setExpandableStringValue("expand", "%TEMP%");
        _key.setLongValue("qword", 1);
        _key.setIntValue("dword", 1);
        _key.setStringValue("string", "s");
        _key.setMultiStringValue("multi", new String[] {"m"});
        Object[][] typeCases = {
            {"expand", "getStringValue", 1, 2},
            {"qword", "getIntValue", 4, 11},
            {"dword", "getLongValue", 11, 4},
            {"dword", "resolveStringValue", -1, 4},
            {"string", "getBinaryValue", 3, 1},
            {"string", "addMultiStringValuesTo", 7, 1},
            {"dword", "getExpandableStringValue", 2, 4},
        };
        for (Object[] c : typeCases) {
            String name = (String) c[0];
            String method = (String) c[1];
            try {
                read(method, name);
                fail(method + " read " + name);
            } catch (InvalidRegistryTypeException expected) {
                assertEquals(method, ((Integer) c[2]).intValue(), expected.getExpectedType());
                assertEquals(method, ((Integer) c[3]).intValue(), expected.getStoredType());
                assertTrue(expected.getMessage(), expected.getMessage().contains(String.valueOf(c[3])));
            }
        }

        String[] readers = {"getStringValue", "getIntValue", "getLongValue", "getBinaryValue", "resolveStringValue",
            "addMultiStringValuesTo", "getExpandableStringValue"};
        for (String method : readers) {
            for (String name : new String[] {"missing value", null}) {
                try {
                    read(method, name);
                    fail(method + " read " + name);
                } catch (NoSuchElementException expected) {
                    assertEquals(method, name, expected.getMessage());
                }
            }
        }

        final List<Object> notStrings = new ArrayList<Object>();
        notStrings.add("fine");
        notStrings.add(Integer.valueOf(7));
        try {
            _key.setMultiStringValue("mixed", notStrings.iterator());
            fail("an Integer went into a multi-string");
        } catch (ClassCastException expected) {
            assertEquals(Integer.class.toString(), expected.getMessage());
        }

        Refusal[] nullCases = {
            new Refusal("setStringValue null") {
                void call() {
                    _key.setStringValue("x", null);
                }
            },
            new Refusal("setExpandableStringValue null") {
                void call() {
                    _key.setExpandableStringValue("x", null);
                }
            },
            new Refusal("setBinaryValue null") {
                void call() {
                    _key.setBinaryValue("x", null);
                }
            },
            new Refusal("setMultiStringValue null array") {
                void call() {
                    _key.setMultiStringValue("x", (String[]) null);
                }
            },
            new Refusal("setMultiStringValue null iterator") {
                void call() {
                    _key.setMultiStringValue("x", (Iterator<?>) null);
                }
            },
            new Refusal("setMultiStringValue null element") {
                void call() {
                    _key.setMultiStringValue("x", new String[] {"a", null});
                }
            },
            new Refusal("setMultiStringValue null from iterator") {
                void call() {
                    _key.setMultiStringValue("x", Arrays.asList("a", null).iterator());
                }
            },
            new Refusal("addMultiStringValuesTo null") {
                void call() {
                    _key.addMultiStringValuesTo("multi", null);
                }
            },
            new Refusal("addAvailableSubKeys null") {
                void call() {
                    _key.addAvailableSubKeys(null);
                }
            },
            new Refusal("addAvailableValues null") {
                void call() {
                    _key.addAvailableValues(null);
                }
            },
            new Refusal("deleteSubKey null") {
                void call() {
                    _key.deleteSubKey(null);
                }
            },
        };
        for (Refusal r : nullCases) {
            try {
                r.call();
                fail(r.what);
            } catch (NullPointerException expected) {
                assertNull(r.what, expected.getMessage());
            }
        }
        try {
            _key.deleteSubKey("");
            fail("deleted the key itself");
        } catch (IllegalArgumentException expected) {
            assertEquals("empty sub-key name", expected.getMessage());
        }
        assertEquals("nothing refused was written", 5, _key.getNumberValues());

        RegistryKey closed = _key.openSubKey(null, RegistryKey.KEY_READ);
        closed.close();
        closed.close();
        try {
            closed.getStringValue("string");
            fail("a closed key answered");
        } catch (CodedSystemException expected) {
            assertEquals(ERROR_INVALID_HANDLE, expected.getCode());
            assertNotNull(expected.getMessage());
        }
    }

    private void read(String method, String name) {
        if (method.equals("getStringValue")) {
            _key.getStringValue(name);
        } else if (method.equals("getExpandableStringValue")) {
            _key.getExpandableStringValue(name);
        } else if (method.equals("resolveStringValue")) {
            _key.resolveStringValue(name);
        } else if (method.equals("getIntValue")) {
            _key.getIntValue(name);
        } else if (method.equals("getLongValue")) {
            _key.getLongValue(name);
        } else if (method.equals("getBinaryValue")) {
            _key.getBinaryValue(name);
        } else if (method.equals("addMultiStringValuesTo")) {
            _key.addMultiStringValuesTo(name, new ArrayList<String>());
        } else {
            throw new IllegalArgumentException(method);
        }
    }

    private List<String> multiString(String name) {
        List<String> strings = new ArrayList<String>();
        _key.addMultiStringValuesTo(name, strings);
        return strings;
    }

    private static String sorted(List<String> names) {
        List<String> copy = new ArrayList<String>(names);
        Collections.sort(copy);
        return join(copy);
    }

    // Not toString: this JVM's collections print without the blank after each comma.
    private static String join(List<String> strings) {
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < strings.size(); ++i) {
            text.append(i == 0 ? "" : "|").append(strings.get(i));
        }
        return text.toString();
    }
}
