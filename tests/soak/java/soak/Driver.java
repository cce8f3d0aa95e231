package soak;

import com.corvantis.monitoring.windows.PerformanceQuery;
import com.corvantis.monitoring.windows.WindowsPerformanceCounter;
import com.corvantis.process.WindowsProcess;
import com.corvantis.windows.inet.CacheEntry;
import com.corvantis.windows.inet.InetCache;
import com.corvantis.windows.inet.InternetHandle;
import com.corvantis.windows.registry.RegistryKey;
import com.corvantis.windows.registry.RegistryRoot;
import com.corvantis.windows.ui.WindowStation;
import com.corvantis.windows.ui.WindowsUISupport;
import com.quillstone.browser.ConnectionOption;
import com.quillstone.velaro.server.CodedSystemException;
import com.quillstone.velaro.server.WindowsSystem;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;

/**
 * Drives the natives a load-testing agent calls while it runs, as fast as they go, for a
 * given time, and writes a sample of its own measures every few seconds: the native calls
 * made so far by kind, the busy blocks of the process heap, and the Java heap in use after
 * a collection. The process's handles and private bytes are read from outside.
 *
 * <pre>
 * soak.Driver --seconds N --interval-ms N --fullbridge DLL --heapwalk DLL --child EXE --out CSV --pid-file FILE
 * </pre>
 */
public final class Driver {
    static final String[] KINDS = {"counters", "processes", "registry", "inet", "cache", "command_line", "desktops"};
    static final int COUNTERS = 0;
    static final int PROCESSES = 1;
    static final int REGISTRY = 2;
    static final int INET = 3;
    static final int CACHE = 4;
    static final int COMMAND_LINE = 5;
    static final int DESKTOPS = 6;

    // A load test opens new queries now and then; so does the soak, to drive those paths too.
    static final int SAMPLES_PER_QUERY = 20000;
    static final int ROUNDS_PER_CACHE_ENTRY = 8;
    static final String UP_TIME = "\\System\\System Up Time";
    // Wine reports a child lost while it is being set up as this code; the start is made again.
    static final int ERROR_INTERNAL_ERROR = 1359;

    private final long deadline;
    private final String child;
    private final int pid;
    private final List<Worker> workers = new ArrayList<Worker>();

    private Driver(long deadline, String child, int pid) {
        this.deadline = deadline;
        this.child = child;
        this.pid = pid;
    }

    /** Calls and failures of one thread, by kind; read by the sampling thread without a lock. */
    abstract static class Worker extends Thread {
        final long[] calls = new long[KINDS.length];
        final long[] errors = new long[KINDS.length];
        volatile String firstError;

        void failed(int kind, String what) {
            errors[kind]++;
            if (firstError == null) {
                firstError = KINDS[kind] + ": " + what;
            }
        }

        void failed(int kind, Throwable t) {
            failed(kind, t.getClass().getName() + " " + t.getMessage());
        }
    }

    boolean running() {
        return System.currentTimeMillis() < deadline;
    }

    // --- counter sampling: a query and a counter of the thread's own, sampled into a direct buffer

    final class CounterWorker extends Worker {
        @Override
        public void run() {
            ByteBuffer buffer = ByteBuffer.allocateDirect(16);
            while (running()) {
                PerformanceQuery query = new PerformanceQuery();
                WindowsPerformanceCounter counter = new WindowsPerformanceCounter(UP_TIME);
                try {
                    calls[COUNTERS] += 2;
                    query.openHandle();
                    counter.createHandle(query.getHandle());
                    long queryHandle = query.getHandle();
                    long counterHandle = counter.getHandle();
                    for (int i = 0; i < SAMPLES_PER_QUERY && running(); i++) {
                        calls[COUNTERS] += 2;
                        PerformanceQuery.updateCounters(queryHandle);
                        buffer.putLong(8, 0);
                        WindowsPerformanceCounter.storeValueInBuffer(counterHandle,
                                WindowsPerformanceCounter.PDH_FMT_LARGE, 8, buffer);
                        if (buffer.getLong(8) == 0) {
                            failed(COUNTERS, "no up time written");
                        }
                    }
                } catch (Throwable t) {
                    failed(COUNTERS, t);
                } finally {
                    calls[COUNTERS] += 2;
                    counter.close();
                    query.close();
                }
            }
        }
    }

    // --- processes started, waited for and closed

    final class ProcessWorker extends Worker {
        long restarts;

        @Override
        public void run() {
            for (int n = 0; running(); n++) {
                int code = 10 + n % 50;
                try {
                    WindowsProcess process = start(code);
                    if (process == null) {
                        continue;
                    }
                    try {
                        calls[PROCESSES] += 2;
                        int exit = process.waitFor();
                        if (exit != code) {
                            failed(PROCESSES, "child ended with " + exit + ", not " + code);
                        }
                        if (process.getCpuTime() < 0) {
                            failed(PROCESSES, "negative processor time");
                        }
                    } finally {
                        calls[PROCESSES]++;
                        process.close();
                    }
                } catch (Throwable t) {
                    failed(PROCESSES, t);
                }
            }
        }

        private WindowsProcess start(int code) {
            for (int attempt = 1;; attempt++) {
                try {
                    calls[PROCESSES]++;
                    return WindowsSystem.CreateProcess(null, child + " " + code, false, 0, null, null, null);
                } catch (CodedSystemException e) {
                    if (e.getCode() != ERROR_INTERNAL_ERROR || attempt == 3) {
                        throw e;
                    }
                    restarts++;
                }
            }
        }
    }

    // --- registry, WinInet options, URL cache, command line and environment, desktops

    final class MixedWorker extends Worker {
        private final RegistryKey key;
        private final InternetHandle internet = new InternetHandle();
        private int expectedTimeout = -1;

        MixedWorker(RegistryKey key) {
            this.key = key;
        }

        @Override
        public void run() {
            for (int round = 0; running(); round++) {
                try {
                    registry();
                } catch (Throwable t) {
                    failed(REGISTRY, t);
                }
                try {
                    internetOptions();
                } catch (Throwable t) {
                    failed(INET, t);
                }
                try {
                    commandLine();
                } catch (Throwable t) {
                    failed(COMMAND_LINE, t);
                }
                try {
                    desktops();
                } catch (Throwable t) {
                    failed(DESKTOPS, t);
                }
                if (round % ROUNDS_PER_CACHE_ENTRY == 0) {
                    try {
                        cacheEntry(round);
                    } catch (Throwable t) {
                        failed(CACHE, t);
                    }
                }
            }
        }

        private void registry() {
            calls[REGISTRY] += 7;
            if (!"soak".equals(key.getStringValue("text"))) {
                failed(REGISTRY, "wrong string value");
            }
            if (key.getIntValue("int") != 42) {
                failed(REGISTRY, "wrong int value");
            }
            ArrayList<String> names = new ArrayList<String>();
            key.addAvailableSubKeys(names);
            HashMap<String, Integer> values = new HashMap<String, Integer>();
            key.addAvailableValues(values);
            if (names.size() != 3 || values.size() != 2 || key.getNumberSubKeys() != 3) {
                failed(REGISTRY, "enumeration found " + names.size() + " sub-keys, " + values.size() + " values");
            }
            RegistryKey sub = key.openSubKey("a", RegistryKey.KEY_READ);
            sub.close();
        }

        private void internetOptions() {
            calls[INET] += 2;
            int timeout = internet.getIntOption(InternetHandle.INTERNET_OPTION_CONNECT_TIMEOUT);
            if (expectedTimeout == -1) {
                expectedTimeout = timeout;
            } else if (timeout != expectedTimeout) {
                failed(INET, "connect time-out changed to " + timeout);
            }
            ConnectionOption flags = new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_FLAGS, Integer.class);
            internet.queryConnectionOptions(null, new ConnectionOption[] {flags});
            if (!(flags.getValue() instanceof Integer)) {
                failed(INET, "no proxy flags");
            }
        }

        private void commandLine() {
            calls[COMMAND_LINE] += 3;
            if (WindowsSystem.getCommandLine().length() == 0) {
                failed(COMMAND_LINE, "empty command line");
            }
            String[] args = WindowsSystem.parseCommandLineArguments("soak \"a b\" c");
            if (args.length != 3 || !"a b".equals(args[1])) {
                failed(COMMAND_LINE, "command line parsed into " + args.length + " arguments");
            }
            if (WindowsSystem.expandEnvironmentString("%SystemRoot%\\soak").startsWith("%")) {
                failed(COMMAND_LINE, "SystemRoot not expanded");
            }
        }

        private void desktops() {
            calls[DESKTOPS] += 4;
            ArrayList<String> stations = WindowsUISupport.getWindowStations();
            // The process's own window station and the thread's desktop are not closed (Windows' rule).
            ArrayList<String> desktops = WindowsUISupport.getProcessWindowStation().getDesktops();
            WindowsUISupport.getCurrentThreadDesktop();
            if (stations.isEmpty() || desktops.isEmpty()) {
                failed(DESKTOPS, stations.size() + " window stations, " + desktops.size() + " desktops");
                return;
            }
            calls[DESKTOPS] += 3;
            WindowStation station = WindowsUISupport.openWindowStation(stations.get(0), false,
                    WindowStation.WINSTA_ENUMDESKTOPS);
            try {
                station.getDesktops();
            } finally {
                station.dispose();
            }
        }

        private void cacheEntry(int round) throws IOException {
            calls[CACHE] += 3;
            String url = "http://soak.invalid/" + pid + "/" + round;
            String file = InetCache.createUrlCacheEntry(url, 0, "txt");
            OutputStream out = new FileOutputStream(file);
            try {
                out.write("soak".getBytes());
            } finally {
                out.close();
            }
            new CacheEntry(url, file, 0, 0, InetCache.NORMAL_CACHE_ENTRY, "HTTP/1.1 200 OK\r\n\r\n", null).commit();
            if (!InetCache.deleteEntry(url)) {
                failed(CACHE, "entry not deleted");
            }
        }
    }

    // --- sampling

    String header() {
        StringBuilder b = new StringBuilder("time_ms,calls");
        for (String kind : KINDS) {
            b.append(",calls_").append(kind);
        }
        return b.append(",errors,heap_blocks,heap_bytes,jvm_heap_bytes").toString();
    }

    long[] totals(boolean errors) {
        long[] sum = new long[KINDS.length];
        for (Worker w : workers) {
            long[] from = errors ? w.errors : w.calls;
            for (int k = 0; k < sum.length; k++) {
                sum[k] += from[k];
            }
        }
        return sum;
    }

    String sample() {
        long[] calls = totals(false);
        long[] errors = totals(true);
        Runtime runtime = Runtime.getRuntime();
        runtime.gc();
        long jvmHeap = runtime.totalMemory() - runtime.freeMemory();
        long[] heap = new long[2];
        if (!ProcessHeap.walk(heap)) {
            heap[0] = -1;
            heap[1] = -1;
        }
        long all = 0;
        long failures = 0;
        StringBuilder byKind = new StringBuilder();
        for (int k = 0; k < calls.length; k++) {
            all += calls[k];
            failures += errors[k];
            byKind.append(',').append(calls[k]);
        }
        return System.currentTimeMillis() + "," + all + byKind + "," + failures + "," + heap[0] + "," + heap[1] + ","
                + jvmHeap;
    }

    void run(String csv, long intervalMs, RegistryKey key, int counterThreads) throws Exception {
        workers.add(new ProcessWorker());
        workers.add(new MixedWorker(key));
        for (int i = 0; i < counterThreads; i++) {
            workers.add(new CounterWorker());
        }
        PrintStream out = new PrintStream(new FileOutputStream(csv), true);
        out.println(header());
        out.println(sample());
        for (Worker w : workers) {
            w.setDaemon(true);
            w.start();
        }
        long next = System.currentTimeMillis() + intervalMs;
        while (running()) {
            long wait = Math.min(next, deadline) - System.currentTimeMillis();
            if (wait > 0) {
                Thread.sleep(wait);
            }
            if (System.currentTimeMillis() >= next) {
                out.println(sample());
                next += intervalMs;
            }
        }
        for (Worker w : workers) {
            w.join();
        }
        out.println(sample());
        out.close();
    }

    void report() {
        long[] calls = totals(false);
        long[] errors = totals(true);
        StringBuilder b = new StringBuilder("driver: native calls by kind:");
        for (int k = 0; k < calls.length; k++) {
            b.append(' ').append(KINDS[k]).append(' ').append(calls[k]);
            if (errors[k] != 0) {
                b.append(" (").append(errors[k]).append(" failed)");
            }
        }
        System.out.println(b);
        for (Worker w : workers) {
            if (w.firstError != null) {
                System.out.println("driver: first failure on " + w.getClass().getSimpleName() + ": " + w.firstError);
            }
            if (w instanceof ProcessWorker && ((ProcessWorker) w).restarts != 0) {
                System.out.println("driver: " + ((ProcessWorker) w).restarts
                        + " process starts made again after Wine lost the child while setting it up");
            }
        }
    }

    static RegistryKey scratchKey(RegistryKey user, String name) {
        RegistryKey key = user.createAndGetSubKey(name, true, RegistryKey.KEY_ALL_ACCESS);
        key.setStringValue("text", "soak");
        key.setIntValue("int", 42);
        for (String sub : new String[] {"a", "b", "c"}) {
            key.createAndGetSubKey(sub, true, RegistryKey.KEY_READ).close();
        }
        return key;
    }

    static void removeScratchKey(RegistryKey user, RegistryKey key, String name) {
        for (String sub : new String[] {"a", "b", "c"}) {
            key.deleteSubKey(sub);
        }
        key.close();
        user.deleteSubKey(name);
    }

    static String option(HashMap<String, String> options, String name, String otherwise) {
        String value = options.get(name);
        return value != null ? value : otherwise;
    }

    public static void main(String[] args) throws Exception {
        HashMap<String, String> options = new HashMap<String, String>();
        for (int i = 0; i + 1 < args.length; i += 2) {
            options.put(args[i], args[i + 1]);
        }
        for (String required : new String[] {"--seconds", "--interval-ms", "--fullbridge", "--heapwalk", "--child",
                "--out", "--pid-file"}) {
            if (options.get(required) == null) {
                System.err.println("soak driver: missing " + required);
                System.exit(2);
            }
        }
        System.load(options.get("--fullbridge"));
        System.load(options.get("--heapwalk"));
        WindowsProcess self = WindowsSystem.getCurrentProcess();
        int pid = self.getProcessId();
        PrintStream pidFile = new PrintStream(new FileOutputStream(options.get("--pid-file")));
        pidFile.println(pid);
        pidFile.close();

        long seconds = Long.parseLong(options.get("--seconds"));
        Driver driver = new Driver(System.currentTimeMillis() + seconds * 1000, "\"" + options.get("--child") + "\"",
                pid);
        RegistryKey user = RegistryRoot.openRegistryCurrentUser(RegistryKey.KEY_ALL_ACCESS);
        String keyName = "Software\\VelaroSoak-" + pid;
        RegistryKey key = scratchKey(user, keyName);
        try {
            driver.run(options.get("--out"), Long.parseLong(options.get("--interval-ms")), key,
                    Integer.parseInt(option(options, "--counter-threads", "2")));
        } finally {
            removeScratchKey(user, key, keyName);
            user.close();
        }
        driver.report();
    }
}
