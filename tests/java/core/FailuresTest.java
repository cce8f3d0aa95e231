package velaro.jvmtest.core;

import com.corvantis.monitoring.windows.PdhException;
import com.corvantis.monitoring.windows.PerformanceQuery;
import com.corvantis.monitoring.windows.WindowsPerformanceCounter;
import com.corvantis.process.WindowsProcess;
import com.corvantis.windows.registry.InvalidRegistryTypeException;
import com.corvantis.windows.registry.RegistryKey;
import com.quillstone.velaro.server.CodedSystemException;
import com.quillstone.velaro.server.WindowsSystem;
import java.util.ArrayList;
import java.util.NoSuchElementException;
import junit.framework.TestCase;
import velaro.jvmtest.support.Children;
import velaro.jvmtest.support.RegFile;
import velaro.jvmtest.support.ScratchKey;

/** Every kind of failure the bridge raises, caught the way the application catches it. */
public class FailuresTest extends TestCase {
    private static final int ERROR_INVALID_HANDLE = 6;
    private static final int E_INVALIDARG = 0x80070057;
    private static final int PDH_CSTATUS_BAD_COUNTERNAME = 0xC0000BB9;

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

    public void testCodedSystemExceptionCarriesTheCodeAndTheSystemText() throws Exception {
        WindowsProcess process = Children.create(null, "cmd.exe /c exit 0", false, 0, null, null, null);
        assertEquals(0, process.waitFor());
        process.close();
        RegistryKey key = _key.openSubKey(null, RegistryKey.KEY_READ);
        key.close();

        CodedSystemException fromProcess = null;
        CodedSystemException fromRegistry = null;
        try {
            process.getPriorityClassId();
        } catch (RuntimeException e) {
            fromProcess = (CodedSystemException) e;
        }
        try {
            key.getNumberValues();
        } catch (RuntimeException e) {
            fromRegistry = (CodedSystemException) e;
        }
        assertNotNull(fromProcess);
        assertNotNull(fromRegistry);
        for (CodedSystemException e : new CodedSystemException[] {fromProcess, fromRegistry}) {
            assertEquals(ERROR_INVALID_HANDLE, e.getCode());
            assertEquals(ERROR_INVALID_HANDLE, e.getUnsignedCode());
            assertNotNull(e.getMessage());
            assertTrue("the system text keeps its line end: " + e.getMessage(), e.getMessage().endsWith("\n"));
        }
        assertEquals("one code, one text", fromProcess.getMessage(), fromRegistry.getMessage());
    }

    public void testResultCodesFromTheTopHalfReadNegative() {
        // REG_MULTI_SZ without any data is a malformed list.
        RegFile.importLines("[" + RegFile.fullName(_scratch.regPath()) + "]", "\"empty\"=hex(7):");
        try {
            _key.addMultiStringValuesTo("empty", new ArrayList<String>());
            fail("a malformed list was read");
        } catch (CodedSystemException expected) {
            assertEquals(-2147024809, expected.getCode());
            assertEquals(E_INVALIDARG, expected.getCode());
            assertEquals(0x80070057L, expected.getUnsignedCode());
        }
    }

    public void testPdhExceptionCarriesThePdhStatus() {
        PerformanceQuery query = new PerformanceQuery();
        query.openHandle();
        WindowsPerformanceCounter counter = new WindowsPerformanceCounter("not a counter path");
        try {
            counter.createHandle(query.getHandle());
            fail("a malformed path was added");
        } catch (RuntimeException e) {
            assertTrue(e.toString(), e instanceof PdhException);
            assertEquals(PDH_CSTATUS_BAD_COUNTERNAME, ((PdhException) e).getCode());
            assertEquals(0, counter.getHandle());
        } finally {
            query.close();
        }
        assertFalse(query.isOpen());
    }

    public void testInvalidRegistryTypeNamesBothTypes() {
        _key.setStringValue("text", "not a number");
        try {
            _key.getIntValue("text");
            fail("a string read as a number");
        } catch (RuntimeException e) {
            InvalidRegistryTypeException invalid = (InvalidRegistryTypeException) e;
            assertEquals(RegistryKey.REG_DWORD, invalid.getExpectedType());
            assertEquals(RegistryKey.REG_SZ, invalid.getStoredType());
            assertEquals("registry value has type 1, expected 4", invalid.getMessage());
        }
    }

    public void testNoSuchElementNamesWhatIsMissing() {
        String[] names = {"no such value", "\u00e9l\u00e9ment absent"};
        for (String name : names) {
            try {
                _key.getStringValue(name);
                fail("read " + name);
            } catch (NoSuchElementException expected) {
                assertEquals(name, expected.getMessage());
            }
            try {
                _key.openSubKey(name, RegistryKey.KEY_READ);
                fail("opened " + name);
            } catch (NoSuchElementException expected) {
                assertEquals(name, expected.getMessage());
            }
        }
    }

    public void testIllegalArgumentsStopBeforeWindows() {
        try {
            _key.deleteSubKey("");
            fail("deleted the key itself");
        } catch (IllegalArgumentException expected) {
            assertEquals("empty sub-key name", expected.getMessage());
        }
        assertEquals(0, _key.getNumberValues());
        try {
            WindowsSystem.CreateProcessWithLogon("nobody", null, "no terminator".toCharArray(), 0, null,
                    "cmd.exe /c exit 0", 0, null, null, null);
            fail("a password without its NUL went to Windows");
        } catch (IllegalArgumentException expected) {
            assertEquals("password must end with a NUL character", expected.getMessage());
        }
    }

    public void testNullPointersWithoutMessage() {
        try {
            WindowsSystem.parseCommandLineArguments(null);
            fail("parsed null");
        } catch (NullPointerException expected) {
            assertNull(expected.getMessage());
        }
        try {
            WindowsSystem.CreateProcessWithLogon("nobody", null, null, 0, null, "cmd.exe /c exit 0", 0, null, null,
                    null);
            fail("logged on without a password");
        } catch (NullPointerException expected) {
            assertNull(expected.getMessage());
        }
        try {
            _key.setStringValue("v", null);
            fail("wrote null");
        } catch (NullPointerException expected) {
            assertNull(expected.getMessage());
        }
        assertEquals(0, _key.getNumberValues());
    }
}
