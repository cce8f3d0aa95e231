package velaro.jvmtest.monitoring;

import com.corvantis.monitoring.windows.PdhException;
import com.corvantis.monitoring.windows.PerformanceCounterInfo;
import com.corvantis.monitoring.windows.PerformanceQuery;
import com.corvantis.monitoring.windows.WindowsCounterPath;
import com.corvantis.monitoring.windows.WindowsMonitor;
import com.corvantis.monitoring.windows.WindowsMonitorPool;
import com.corvantis.monitoring.windows.WindowsPerformanceCounter;
import java.util.ArrayList;
import junit.framework.TestCase;

/**
 * Counter information, counter paths and the counter name table, wherever Wine's PDH
 * answers. Wine lacks PdhParseCounterPathW, PdhConnectMachineW and PdhEnumObjectsW and
 * ends the process when one is called, so crack, checkConnect, getAvailableObjects and
 * loadParameters into an info object that holds a path are not called here.
 */
public class CounterInformationTest extends TestCase {
    // Counter types from winperf.h.
    private static final int PERF_ELAPSED_TIME = 0x30240500;
    private static final int PERF_100NSEC_TIMER_INV = 0x21510500;
    private static final int PDH_CSTATUS_VALID_DATA = 0;
    private static final int PDH_NOT_IMPLEMENTED = 0xC0000BD3;
    private static final int PDH_STRING_NOT_FOUND = 0xC0000BD4;
    // PDH_VERSION of pdh.h, the version every PDH since Windows XP reports.
    private static final int PDH_VERSION = 0x503;

    public void testInformationOfCountersInAQuery() {
        Object[][] cases = {
            {PerformanceQueryTest.UP_TIME, PERF_ELAPSED_TIME, -3},
            {PerformanceQueryTest.PROCESSOR_TIME, PERF_100NSEC_TIMER_INV, 4},
        };
        PerformanceQuery query = new PerformanceQuery();
        query.openHandle();
        try {
            for (Object[] c : cases) {
                String path = (String) c[0];
                WindowsPerformanceCounter counter = new WindowsPerformanceCounter(path);
                counter.createHandle(query.getHandle());
                counter.setScaleFactor((Integer) c[2]);
                query.update();

                PerformanceCounterInfo info = new PerformanceCounterInfo(null);
                info.loadParameters(counter, false);
                assertEquals(path, ((Integer) c[1]).intValue(), info.getType());
                assertEquals(path, PDH_CSTATUS_VALID_DATA, info.getCStatus());
                assertEquals(path, ((Integer) c[2]).intValue(), info.getScale());
                assertNull("explanation not asked for", info.getExplainText());
                assertNull("no path object to fill", info.getPath());
                // Wine leaves the full path out of the record.
                String full = info.getFullPath();
                assertTrue(full, full == null || full.endsWith(path));
            }
        } finally {
            query.close();
        }
    }

    /** Indexes of the English counter name table (Perflib\009) that Windows and Wine share. */
    public void testNamesAndIndexesOfTheCounterTable() {
        Object[][] cases = {{6, "% Processor Time"}, {674, "System Up Time"}};
        for (Object[] c : cases) {
            int index = (Integer) c[0];
            assertEquals(c[1], WindowsCounterPath.lookupName(null, index));
            assertEquals(index, WindowsCounterPath.rawLookupPerfIndex(null, (String) c[1]));
        }
        try {
            WindowsCounterPath.rawLookupPerfIndex(null, "Velaro No Such Counter");
            fail("a name the table lacks was found");
        } catch (PdhException expected) {
            assertEquals(PDH_STRING_NOT_FOUND, expected.getCode());
        }
        assertEquals(PDH_VERSION, WindowsMonitorPool.getPdhVersion());
    }

    /** Paths made from their elements in PdhMakeCounterPath's form, \\machine\object(parent/instance#index)\counter. */
    public void testPathsMadeFromTheirElements() {
        Object[][] cases = {
            {null, "System", null, null, 0, "System Up Time", "\\System\\System Up Time"},
            {"\\\\velaro-host", "System", null, null, 0, "System Up Time", "\\\\velaro-host\\System\\System Up Time"},
            {null, "Process", "svchost", null, 3, "Handles", "\\Process(svchost#3)\\Handles"},
            {null, "Processor", "_Total", null, 0, "% Processor Time", "\\Processor(_Total#0)\\% Processor Time"},
            {null, "Thread", "7", "svchost", 2, "Context Switches/sec", "\\Thread(svchost/7#2)\\Context Switches/sec"},
        };
        for (Object[] c : cases) {
            WindowsCounterPath path = new WindowsCounterPath((String) c[0], (String) c[1], (String) c[2],
                    (String) c[3], (Integer) c[4], (String) c[5]);
            assertEquals(c[1], path.getObjectName());
            assertEquals(((Integer) c[4]).intValue(), path.getInstanceIndex());
            String made = path.resolveCounterPath(0);
            String expected = (String) c[6];
            // Windows leaves out an instance index of 0; Wine writes #0. Wine also puts its
            // own two backslashes before a machine name that has them already.
            assertTrue(made, made.equals(expected) || made.equals(expected.replace("#0)", ")"))
                    || made.equals("\\\\" + expected));
        }
        // A path made here names a counter PDH can sample.
        String made = new WindowsCounterPath(null, "System", null, null, 0, "System Up Time").resolveCounterPath(0);
        PerformanceQuery query = new PerformanceQuery();
        query.openHandle();
        try {
            WindowsPerformanceCounter counter = new WindowsPerformanceCounter(made);
            counter.createHandle(query.getHandle());
            query.update();
            assertTrue(PerformanceQueryTest.sampleLarge(counter) > 0);
        } finally {
            query.close();
        }
    }

    /** Browsing that Wine's PDH refuses with PDH_NOT_IMPLEMENTED, caught as the application catches it. */
    public void testBrowsingAnswers() {
        try {
            ArrayList<String> paths = WindowsCounterPath.expandWildCardPath("\\Processor(*)\\% Processor Time", 0);
            assertTrue(String.valueOf(paths), paths.contains(PerformanceQueryTest.PROCESSOR_TIME));
        } catch (PdhException e) {
            assertEquals(PDH_NOT_IMPLEMENTED, e.getCode());
        }
        ArrayList<String> counters = new ArrayList<String>();
        try {
            ArrayList<String> instances = WindowsMonitor.getAvailableObjectItems(null, "Processor", counters,
                    WindowsMonitor.PERF_DETAIL_WIZARD);
            assertTrue(String.valueOf(counters), counters.contains("% Processor Time"));
            assertTrue(String.valueOf(instances), instances.contains("_Total"));
        } catch (PdhException e) {
            assertEquals(PDH_NOT_IMPLEMENTED, e.getCode());
            assertTrue(counters.isEmpty());
        }
    }
}
