package velaro.jvmtest.support;

import java.util.ArrayList;
import java.util.List;
import junit.framework.AssertionFailedError;
import junit.framework.Test;
import junit.framework.TestCase;
import junit.framework.TestListener;
import junit.framework.TestResult;
import junit.framework.TestSuite;

/**
 * Runs JUnit 3.8 test classes in this JVM after loading one bridge library as the
 * application does, and reports each failure and the totals. JUnit's own text runner
 * needs library classes that not every JVM we run on has.
 *
 * <pre>
 * SuiteRunner fullbridge|corebridge DELIVERABLES_FOLDER TEST_CLASS...
 * </pre>
 *
 * The folder is a Windows path (the JVM's System.load takes one). Exit code 0 when
 * every test passed, 1 otherwise.
 */
public final class SuiteRunner {
    private static final int TRACE_FRAMES = 12;

    private static String[] arguments = new String[0];

    private SuiteRunner() {
    }

    /** The arguments main was given, for tests that compare them with the process command line. */
    public static String[] arguments() {
        return arguments.clone();
    }

    public static void main(String[] args) {
        arguments = args.clone();
        if (args.length < 3 || !(args[0].equals(Bridge.FULL) || args[0].equals(Bridge.CORE))) {
            System.out.println("usage: SuiteRunner fullbridge|corebridge DELIVERABLES_FOLDER TEST_CLASS...");
            System.exit(2);
        }
        String bridge = args[0];
        String folder = args[1];
        System.setProperty(Bridge.NAME_PROPERTY, bridge);
        System.setProperty(Bridge.FOLDER_PROPERTY, folder);
        // tcpestats imports from fullbridge, so it can only follow it.
        System.load(Bridge.file(bridge + ".dll"));
        if (bridge.equals(Bridge.FULL)) {
            System.load(Bridge.file("tcpestats.dll"));
        }

        Report report = new Report();
        TestResult result = new TestResult();
        result.addListener(report);
        for (int i = 2; i < args.length; ++i) {
            runClass(args[i], result, report);
        }
        StringBuilder closing = new StringBuilder();
        closing.append(report.passed).append(" passed, ").append(report.failed).append(" failed");
        if (report.skipped > 0) {
            closing.append(", ").append(report.skipped).append(" skipped");
        }
        System.out.println(closing);
        System.out.flush();
        System.exit(report.failed == 0 && report.passed > 0 ? 0 : 1);
    }

    private static void runClass(String name, TestResult result, Report report) {
        Class<?> testClass;
        try {
            testClass = Class.forName(name);
        } catch (Throwable e) {
            report.fail(name, e);
            return;
        }
        if (!TestCase.class.isAssignableFrom(testClass)) {
            report.fail(name, new AssertionFailedError("not a junit.framework.TestCase"));
            return;
        }
        long start = System.currentTimeMillis();
        int before = result.runCount();
        new TestSuite(testClass).run(result);
        System.out.println(name + ": " + (result.runCount() - before) + " tests, "
                + (System.currentTimeMillis() - start) + " ms");
    }

    /** Counts each test once, by its worst outcome, and prints failures as they happen. */
    private static final class Report implements TestListener {
        int passed;
        int failed;
        int skipped;
        private Throwable current;

        @Override
        public void startTest(Test test) {
            current = null;
        }

        @Override
        public void addError(Test test, Throwable t) {
            if (current == null) {
                current = t;
            }
        }

        @Override
        public void addFailure(Test test, AssertionFailedError t) {
            addError(test, t);
        }

        @Override
        public void endTest(Test test) {
            String name = nameOf(test);
            if (current == null) {
                ++passed;
            } else if (current instanceof TestSkipped) {
                ++skipped;
                System.out.println("SKIP " + name + ": " + current.getMessage());
            } else {
                fail(name, current);
            }
            current = null;
        }

        void fail(String name, Throwable t) {
            ++failed;
            String message = t instanceof AssertionFailedError ? String.valueOf(t.getMessage()) : t.toString();
            System.out.println("FAIL " + name + ": " + message);
            List<String> frames = frames(t);
            for (String frame : frames) {
                System.out.println("    at " + frame);
            }
            System.out.flush();
        }

        private static String nameOf(Test test) {
            if (test instanceof TestCase) {
                return test.getClass().getName() + "." + ((TestCase) test).getName();
            }
            return String.valueOf(test);
        }

        /** The frames of our own code and of the classes under test, where the cause is found. */
        private static List<String> frames(Throwable t) {
            List<String> frames = new ArrayList<String>();
            StackTraceElement[] trace = t.getStackTrace();
            for (int i = 0; trace != null && i < trace.length && frames.size() < TRACE_FRAMES; ++i) {
                String cls = String.valueOf(trace[i].getClassName());
                if (cls.startsWith("velaro.") || cls.startsWith("com.")) {
                    frames.add(trace[i].toString());
                }
            }
            return frames;
        }
    }
}
