package velaro.jvmtest.process;

import com.corvantis.process.WindowsProcess;
import com.corvantis.windows.WindowsHandle;
import com.corvantis.windows.process.StartupInfo;
import com.quillstone.velaro.server.CodedSystemException;
import com.quillstone.velaro.server.WindowsSystem;
import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import junit.framework.TestCase;
import velaro.jvmtest.support.Children;
import velaro.jvmtest.support.Platform;
import velaro.jvmtest.support.SuiteRunner;
import velaro.jvmtest.support.TestSkipped;

/** WindowsSystem and WindowsProcess as the application uses them to start and watch programs. */
public class ProcessTest extends TestCase {
    private static final int IDLE_PRIORITY_CLASS = 0x40;
    private static final int BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
    private static final int NORMAL_PRIORITY_CLASS = 0x20;
    private static final int PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
    private static final int PROCESS_SET_INFORMATION = 0x0200;
    private static final int SYNCHRONIZE = 0x00100000;
    private static final int ERROR_INVALID_PARAMETER = 87;
    private static final int ERROR_FILE_NOT_FOUND = 2;
    private static final int ERROR_PATH_NOT_FOUND = 3;
    private static final int ERROR_DIRECTORY = 267;
    private static final int CREATE_SUSPENDED = 0x4;

    private File _folder;
    private final List<WindowsProcess> _processes = new ArrayList<WindowsProcess>();

    @Override
    protected void setUp() {
        _folder = Platform.newTemporaryFolder("velaro-jvmtest-");
    }

    @Override
    protected void tearDown() {
        for (WindowsProcess process : _processes) {
            process.destroy();
            process.close();
        }
        File[] files = _folder.listFiles();
        for (int i = 0; files != null && i < files.length; ++i) {
            files[i].delete();
        }
        _folder.delete();
    }

    public void testCommandLineEndsWithTheArgumentsMainWasGiven() {
        String[] parsed = WindowsSystem.parseCommandLineArguments(WindowsSystem.getCommandLine());
        String[] given = SuiteRunner.arguments();
        assertTrue(Arrays.toString(parsed), parsed.length > given.length);
        String[] tail = slice(parsed, parsed.length - given.length);
        assertEquals(Arrays.toString(given), Arrays.toString(tail));
    }

    public void testParseCommandLineArgumentsFollowsWindowsRules() {
        // Documented CommandLineToArgvW rules; the first token is the program name.
        String[][] cases = {
            {"prog a \"b c\" d", "prog", "a", "b c", "d"},
            {"prog  a\t\tb ", "prog", "a", "b"},
            {"prog a\\\"b", "prog", "a\"b"},
            {"prog a\\\\\"b c\"", "prog", "a\\b c"},
            {"prog a\\\\b \"\"", "prog", "a\\\\b", ""},
            {"\"C:\\Program Files\\x.exe\" y", "C:\\Program Files\\x.exe", "y"},
            {"prog \u00e9t\u00e9 \u65e5\u672c", "prog", "\u00e9t\u00e9", "\u65e5\u672c"},
        };
        for (String[] c : cases) {
            String[] expected = slice(c, 1);
            assertEquals(c[0], Arrays.toString(expected),
                    Arrays.toString(WindowsSystem.parseCommandLineArguments(c[0])));
        }
    }

    public void testParseOfAnEmptyCommandLineNamesTheRunningProgram() {
        String[] parsed = WindowsSystem.parseCommandLineArguments("");
        assertEquals(1, parsed.length);
        File program = new File(parsed[0]);
        assertTrue(parsed[0], program.isAbsolute() && program.isFile());
        String invoked = new File(WindowsSystem.parseCommandLineArguments(WindowsSystem.getCommandLine())[0]).getName();
        assertEquals(stem(invoked), stem(program.getName()));
    }

    public void testParseOfManyArguments() {
        StringBuilder line = new StringBuilder("prog");
        for (int i = 0; i < 5000; ++i) {
            line.append(" \"arg ").append(i).append('"');
        }
        String[] parsed = WindowsSystem.parseCommandLineArguments(line.toString());
        assertEquals(5001, parsed.length);
        for (int i = 0; i < 5000; ++i) {
            assertEquals("arg " + i, parsed[i + 1]);
        }
    }

    public void testWaitForEndsWhenTheThreadIsInterrupted() throws Exception {
        if (Platform.isAvian()) {
            // waitFor waits on the interrupt event of jvm.dll; Avian has no jvm.dll.
            throw new TestSkipped("this JVM has no JVM_GetThreadInterruptEvent");
        }
        final WindowsProcess child = startSleeper(0);
        final Throwable[] outcome = new Throwable[1];
        Thread waiter = new Thread() {
            @Override
            public void run() {
                try {
                    child.waitFor();
                } catch (Throwable t) {
                    outcome[0] = t;
                }
            }
        };
        waiter.start();
        Thread.sleep(500);
        waiter.interrupt();
        waiter.join(20000);
        assertFalse("waitFor did not end", waiter.isAlive());
        assertTrue(String.valueOf(outcome[0]), outcome[0] instanceof InterruptedException);

        Thread.currentThread().interrupt();
        try {
            child.waitFor();
            fail("waited although interrupted");
        } catch (InterruptedException expected) {
            assertNull(expected.getMessage());
        } finally {
            Thread.interrupted();
        }
        try {
            child.exitValue();
            fail("the child ended");
        } catch (IllegalThreadStateException expected) {
            assertEquals("process has not exited", expected.getMessage());
        }
    }

    public void testExpandEnvironmentStringAgainstTheEnvironment() {
        String root = System.getenv("SystemRoot");
        assertNotNull(root);
        StringBuilder longText = new StringBuilder();
        StringBuilder longExpected = new StringBuilder();
        while (longExpected.length() <= 300) {
            longText.append("%SystemRoot%;");
            longExpected.append(root).append(';');
        }
        String[][] cases = {
            {"%PATH%", System.getenv("PATH")},
            {"no references at all", "no references at all"},
            {"<%SystemRoot%>", "<" + root + ">"},
            {"%VELARO_NO_SUCH_VARIABLE%", "%VELARO_NO_SUCH_VARIABLE%"},
            {"", ""},
            {longText.toString(), longExpected.toString()},
        };
        for (String[] c : cases) {
            assertEquals(c[0], c[1], WindowsSystem.expandEnvironmentString(c[0]));
        }
    }

    public void testProcessorCountMatchesTheEnvironment() {
        assertEquals(Integer.parseInt(System.getenv("NUMBER_OF_PROCESSORS")), WindowsSystem.getProcessorCount());
    }

    public void testChildGetsTheEnvironmentDirectoryAndStartupInfo() throws Exception {
        StartupInfo startup = new StartupInfo();
        startup.desktop = "WinSta0\\Default";
        startup.title = "velaro test child";
        startup.dwFlags = StartupInfo.STARTF_USESHOWWINDOW | StartupInfo.STARTF_USESTDHANDLES;
        startup.showWindow = 0; // SW_HIDE
        startup.x = 10;
        startup.y = 20;
        // No standard streams: the child writes only through its own redirections.
        startup.stdInput = new WindowsHandle(0);
        startup.stdOutput = new WindowsHandle(0);
        startup.stdError = null;
        WindowsProcess child = start(null, "cmd.exe /c \"set > env.txt & cd > cwd.txt & exit 7\"", 0,
                "VELARO_A=1\0VELARO_B=two words\0", _folder.getPath(), startup);
        assertEquals(7, child.waitFor());
        assertEquals(7, child.exitValue());

        List<String> environment = lines(new File(_folder, "env.txt"));
        assertTrue(environment.toString(), environment.contains("VELARO_A=1"));
        assertTrue(environment.toString(), environment.contains("VELARO_B=two words"));
        for (String entry : environment) {
            assertFalse("inherited " + entry, entry.toUpperCase().startsWith("PATH="));
        }
        assertEquals(_folder.getPath().toLowerCase(), lines(new File(_folder, "cwd.txt")).get(0).trim().toLowerCase());
    }

    public void testChildInheritsTheEnvironmentWithoutOne() throws Exception {
        WindowsProcess child = start("C:\\windows\\system32\\cmd.exe", "cmd.exe /c set > env.txt", 0, null,
                _folder.getPath(), null);
        assertEquals(0, child.waitFor());
        assertTrue(lines(new File(_folder, "env.txt")).contains("PATH=" + System.getenv("PATH")));
    }

    public void testExitCodesAsJavaReadsThem() throws Exception {
        int[] codes = {0, 1, 42, -1, 0x7FFFFFFF};
        for (int code : codes) {
            WindowsProcess child = start(null, "cmd.exe /c exit " + code, 0, null, null, null);
            assertEquals("exit " + code, code, child.waitFor());
            assertEquals("exit " + code, code, child.exitValue());
        }
    }

    public void testExitCode259ReadsAsStillRunning() throws Exception {
        WindowsProcess child = start(null, "cmd.exe /c exit 259", 0, null, null, null);
        assertEquals(WindowsProcess.STILL_ACTIVE, child.waitFor());
        try {
            child.exitValue();
            fail("no exception");
        } catch (IllegalThreadStateException expected) {
            assertEquals("process has not exited", expected.getMessage());
        }
    }

    public void testCreationFlagsReachWindows() throws Exception {
        WindowsProcess child = start(null, "cmd.exe /c exit 5", CREATE_SUSPENDED, null, null, null);
        Thread.sleep(1000);
        try {
            child.exitValue();
            fail("a suspended child ran");
        } catch (IllegalThreadStateException expected) {
            assertEquals("process has not exited", expected.getMessage());
        }
        child.destroy();
        assertEquals(1, child.waitFor());
    }

    public void testPriorityOfAChildThroughTwoHandles() throws Exception {
        WindowsProcess child = startSleeper(IDLE_PRIORITY_CLASS);
        // Wine ignores the priority class among the creation flags: its children start normal.
        assertEquals(Platform.isWine() ? NORMAL_PRIORITY_CLASS : IDLE_PRIORITY_CLASS, child.getPriorityClassId());
        try {
            child.exitValue();
            fail("a running child has no exit code");
        } catch (IllegalThreadStateException expected) {
            assertEquals("process has not exited", expected.getMessage());
        }
        WindowsProcess byId = track(WindowsSystem.getProcessById(child.getProcessId(),
                PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_INFORMATION | SYNCHRONIZE));
        assertEquals(child.getProcessId(), byId.getProcessId());
        child.setPriorityClassId(IDLE_PRIORITY_CLASS);
        assertEquals(IDLE_PRIORITY_CLASS, byId.getPriorityClassId());
        byId.setPriorityClassId(BELOW_NORMAL_PRIORITY_CLASS);
        assertEquals(BELOW_NORMAL_PRIORITY_CLASS, child.getPriorityClassId());

        child.destroy();
        assertEquals(1, byId.waitFor());
        assertEquals(1, child.exitValue());
        child.destroy(); // ended already: nothing happens
    }

    public void testCurrentProcessIsThisProcess() {
        WindowsProcess self = WindowsSystem.getCurrentProcess();
        int before = self.getPriorityClassId();
        WindowsProcess byId = WindowsSystem.getProcessById(self.getProcessId(), PROCESS_QUERY_LIMITED_INFORMATION);
        try {
            assertEquals(NORMAL_PRIORITY_CLASS, before);
            self.setPriorityClassId(BELOW_NORMAL_PRIORITY_CLASS);
            assertEquals(BELOW_NORMAL_PRIORITY_CLASS, byId.getPriorityClassId());
        } finally {
            self.setPriorityClassId(before);
            byId.close();
        }
        assertEquals(before, self.getPriorityClassId());
        // The pseudo-handle needs no closing, and closing it leaves the process alone.
        self.close();
    }

    public void testCpuTimeGrowsWithWork() {
        WindowsProcess self = WindowsSystem.getCurrentProcess();
        long before = self.getCpuTime();
        long start = System.currentTimeMillis();
        long sink = 0;
        while (System.currentTimeMillis() - start < 300) {
            sink += Long.toString(sink).hashCode();
        }
        long after = self.getCpuTime();
        assertTrue(before + " then " + after + " (" + sink + ")", after > before);
        assertTrue(before > 0);
    }

    public void testCpuTimeOfAnEndedChildFitsItsRun() throws Exception {
        long start = System.currentTimeMillis();
        WindowsProcess child = start(null, "cmd.exe /c \"for /l %i in (1,1,3000) do @rem\"", 0, null, null, null);
        assertEquals(0, child.waitFor());
        long wallHundredNanos = (System.currentTimeMillis() - start + 20) * 10000L;
        long cpu = child.getCpuTime();
        assertTrue("cpu " + cpu, cpu > 0);
        if (Platform.isWine()) {
            return; // Wine answers with the caller's own times for any process
        }
        assertTrue("cpu " + cpu + " wall " + wallHundredNanos,
                cpu <= wallHundredNanos * WindowsSystem.getProcessorCount());
    }

    public void testCloseClearsTheHandleAndTwiceDoesNothing() throws Exception {
        WindowsProcess child = Children.create(null, "cmd.exe /c exit 3", false, 0, null, null, null);
        assertEquals(3, child.waitFor());
        child.close();
        child.close();
        try {
            child.getPriorityClassId();
            fail("a closed process still answered");
        } catch (CodedSystemException expected) {
            assertEquals(6, expected.getCode()); // ERROR_INVALID_HANDLE
        }
    }

    public void testCreationRefusals() {
        Object[][] cases = {
            {"C:\\windows\\no-such-program.exe", null, ERROR_FILE_NOT_FOUND},
            {"C:\\no-such-dir-velaro\\program.exe", null, ERROR_PATH_NOT_FOUND},
            {null, "C:\\windows\\no-such-dir-velaro", ERROR_DIRECTORY},
        };
        for (Object[] c : cases) {
            String application = (String) c[0];
            String directory = (String) c[1];
            try {
                start(application, "cmd.exe /c exit 0", 0, null, directory, null);
                fail("started " + application + " in " + directory);
            } catch (CodedSystemException expected) {
                assertEquals(c[2], expected.getCode());
                assertNotNull(expected.getMessage());
            }
        }
    }

    public void testLookupOfAMissingProcess() {
        try {
            WindowsSystem.getProcessById(0x7FFFFFF0, PROCESS_QUERY_LIMITED_INFORMATION);
            fail("no exception");
        } catch (CodedSystemException expected) {
            assertEquals(ERROR_INVALID_PARAMETER, expected.getCode());
        }
    }

    private WindowsProcess start(String application, String commandLine, int flags, String environment,
            String directory, StartupInfo startup) {
        return track(Children.create(application, commandLine, false, flags, environment, directory,
                startup));
    }

    /** A child that runs until it is ended (ping waits a second between its tries). */
    private WindowsProcess startSleeper(int flags) {
        return start(null, "cmd.exe /c ping -n 60 127.0.0.1 > nul", flags, null, null, null);
    }

    private WindowsProcess track(WindowsProcess process) {
        _processes.add(process);
        return process;
    }

    // This JVM's class library has no Arrays.copyOfRange.
    private static String[] slice(String[] array, int from) {
        String[] part = new String[array.length - from];
        System.arraycopy(array, from, part, 0, part.length);
        return part;
    }

    private static String stem(String fileName) {
        String lower = fileName.toLowerCase();
        return lower.endsWith(".exe") ? lower.substring(0, lower.length() - 4) : lower;
    }

    private static List<String> lines(File file) throws IOException {
        FileInputStream in = new FileInputStream(file);
        StringBuilder text = new StringBuilder();
        try {
            for (int b; (b = in.read()) >= 0;) {
                text.append((char) b);
            }
        } finally {
            in.close();
        }
        return Arrays.asList(text.toString().split("\r?\n"));
    }
}
