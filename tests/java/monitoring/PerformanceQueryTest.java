package velaro.jvmtest.monitoring;

import com.corvantis.monitoring.windows.PdhException;
import com.corvantis.monitoring.windows.PerformanceCounterInfo;
import com.corvantis.monitoring.windows.PerformanceQuery;
import com.corvantis.monitoring.windows.WindowsPerformanceCounter;
import java.nio.ByteBuffer;
import junit.framework.TestCase;
import velaro.jvmtest.support.HostFiles;

/**
 * Queries, counters and samples stored into direct buffers, as the load test samples
 * its counters. Wine's PDH knows two counters, the processor time and the system up
 * time; the up time is checked against the clock (and, under Wine, against the host's
 * own up time, which Wine reports).
 */
public class PerformanceQueryTest extends TestCase {
    static final String UP_TIME = "\\System\\System Up Time";
    static final String PROCESSOR_TIME = "\\Processor(_Total)\\% Processor Time";

    static final int PDH_CSTATUS_NO_OBJECT = 0xC0000BB8;
    static final int PDH_CSTATUS_NO_COUNTER = 0xC0000BB9;
    static final int PDH_INVALID_HANDLE = 0xC0000BBC;
    static final int PDH_INVALID_ARGUMENT = 0xC0000BBD;

    private static final byte FILL = 0x5A;

    private PerformanceQuery query;

    @Override
    protected void setUp() {
        query = new PerformanceQuery();
        query.openHandle();
    }

    @Override
    protected void tearDown() {
        query.close();
    }

    public void testUpTimeFollowsTheClock() throws Exception {
        WindowsPerformanceCounter counter = add(UP_TIME);
        double hostBefore = HostFiles.upTimeSeconds();
        query.update();
        long first = sampleLarge(counter);
        double hostAfter = HostFiles.upTimeSeconds();
        if (hostBefore >= 0) {
            assertTrue("up time " + first + " s, the host says " + hostBefore + " to " + hostAfter,
                    first >= (long) hostBefore - 1 && first <= (long) hostAfter + 1);
        }
        assertTrue("up time " + first, first > 0);

        long start = System.currentTimeMillis();
        Thread.sleep(2100);
        query.update();
        long second = sampleLarge(counter);
        long elapsed = (System.currentTimeMillis() - start) / 1000;
        assertTrue("up time went from " + first + " to " + second + " in " + elapsed + " s",
                second - first >= elapsed - 1 && second - first <= elapsed + 1);
    }

    public void testProcessorTimeIsAPercentage() throws Exception {
        WindowsPerformanceCounter counter = add(PROCESSOR_TIME);
        query.update();
        Thread.sleep(300);
        query.update();
        ByteBuffer buffer = filled(8);
        WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LONG, 2,
                buffer);
        int percent = readInt(buffer, 2);
        assertTrue("processor time " + percent, percent >= 0 && percent <= 100);
        assertUntouched(buffer, 0, 2);
        assertUntouched(buffer, 6, 8);
    }

    /** One collection stored at several offsets and widths lands exactly where asked, in little-endian order. */
    public void testOneSampleAtSeveralOffsetsAndFormats() {
        WindowsPerformanceCounter counter = add(UP_TIME);
        query.update();
        long seconds = sampleLarge(counter);

        ByteBuffer buffer = filled(44);
        long handle = counter.getHandle();
        WindowsPerformanceCounter.storeValueInBuffer(handle, WindowsPerformanceCounter.PDH_FMT_LONG, 1, buffer);
        WindowsPerformanceCounter.storeValueInBuffer(handle, WindowsPerformanceCounter.PDH_FMT_LARGE, 7, buffer);
        WindowsPerformanceCounter.storeValueInBuffer(handle,
                WindowsPerformanceCounter.PDH_FMT_LARGE | WindowsPerformanceCounter.PDH_FMT_NOSCALE, 17, buffer);
        WindowsPerformanceCounter.storeValueInBuffer(handle, WindowsPerformanceCounter.PDH_FMT_DOUBLE, 28, buffer);
        WindowsPerformanceCounter.storeValueInBuffer(handle, WindowsPerformanceCounter.PDH_FMT_LONG, 40, buffer);

        assertUntouched(buffer, 0, 1);
        assertEquals(seconds, readInt(buffer, 1));
        assertUntouched(buffer, 5, 7);
        assertEquals(seconds, readLong(buffer, 7));
        assertUntouched(buffer, 15, 17);
        assertWritten(buffer, 17, 8);
        assertUntouched(buffer, 25, 28);
        // Windows formats the double from the sample; Wine takes the bits of its integer
        // sample for a double, so its result has the seconds in its bit pattern.
        long bits = readLong(buffer, 28);
        double value = Double.longBitsToDouble(bits);
        assertTrue("double " + value + " (bits " + bits + ") for " + seconds + " s",
                Math.abs(value - seconds) <= 1 || Math.abs(bits - seconds) <= 1);
        assertUntouched(buffer, 36, 40);
        assertEquals(seconds, readInt(buffer, 40));
    }

    public void testOffsetsOutsideTheBufferAreRefusedBeforeWriting() {
        WindowsPerformanceCounter counter = add(UP_TIME);
        query.update();
        int[][] cases = { // format, offset, into 16 bytes
            {WindowsPerformanceCounter.PDH_FMT_LONG, -1},
            {WindowsPerformanceCounter.PDH_FMT_LONG, 13},
            {WindowsPerformanceCounter.PDH_FMT_LONG, 16},
            {WindowsPerformanceCounter.PDH_FMT_LARGE, 9},
            {WindowsPerformanceCounter.PDH_FMT_DOUBLE, 12},
            {WindowsPerformanceCounter.PDH_FMT_LARGE, Integer.MAX_VALUE},
            {WindowsPerformanceCounter.PDH_FMT_DOUBLE, Integer.MIN_VALUE},
            {WindowsPerformanceCounter.PDH_FMT_LONG, Integer.MAX_VALUE - 2},
        };
        for (int[] c : cases) {
            ByteBuffer buffer = filled(16);
            try {
                WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), c[0], c[1], buffer);
                fail("format 0x" + Integer.toHexString(c[0]) + " at " + c[1] + " was stored");
            } catch (IllegalArgumentException expected) {
                assertUntouched(buffer, 0, 16);
            }
        }
        // The last offsets that fit are taken.
        ByteBuffer buffer = filled(16);
        WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LONG, 12,
                buffer);
        WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LARGE, 0,
                buffer);
        assertUntouched(buffer, 8, 12);
        assertEquals(readLong(buffer, 0), readInt(buffer, 12));
    }

    /** A slice of a direct buffer starts at its own address and ends at its own capacity. */
    public void testSliceOfADirectBuffer() {
        WindowsPerformanceCounter counter = add(UP_TIME);
        query.update();
        long seconds = sampleLarge(counter);
        ByteBuffer whole = filled(16);
        whole.position(8);
        ByteBuffer slice = whole.slice();
        WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LARGE, 0,
                slice);
        assertUntouched(whole, 0, 8);
        assertEquals(seconds, readLong(whole, 8));
        try {
            WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LONG, 5,
                    slice);
            fail("stored past the end of the slice");
        } catch (IllegalArgumentException expected) {
            assertEquals(seconds, readLong(whole, 8));
        }
    }

    public void testHeapBufferAndUnknownFormatAreRefused() {
        WindowsPerformanceCounter counter = add(UP_TIME);
        query.update();
        ByteBuffer heap = ByteBuffer.allocate(16);
        try {
            WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LONG, 0,
                    heap);
            fail("a heap buffer was taken");
        } catch (IllegalStateException expected) {
            assertEquals("Data buffer is not directly accessible", expected.getMessage());
            assertEquals(0, readLong(heap, 0));
        }

        // PDH accepts long and double together; neither width is chosen.
        ByteBuffer buffer = filled(16);
        try {
            WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(),
                    WindowsPerformanceCounter.PDH_FMT_LONG | WindowsPerformanceCounter.PDH_FMT_DOUBLE, 0, buffer);
            fail("two formats at once were stored");
        } catch (IllegalArgumentException expected) {
            assertEquals("Unrecognized format type", expected.getMessage());
        }
        // No format at all is PDH's to refuse.
        try {
            WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), 0, 0, buffer);
            fail("format 0 was stored");
        } catch (PdhException expected) {
            assertEquals(PDH_INVALID_ARGUMENT, expected.getCode());
        }
        assertUntouched(buffer, 0, 16);
    }

    /** A scale factor multiplies by its power of ten: one step apart, the values differ tenfold. */
    public void testScaleFactor() {
        WindowsPerformanceCounter counter = add(UP_TIME);
        query.update();
        counter.setScaleFactor(1);
        long once = sampleLarge(counter);
        counter.setScaleFactor(2);
        long twice = sampleLarge(counter);
        assertEquals("scaled by 10 gave " + once + ", by 100 " + twice, once, twice / 10);

        PerformanceCounterInfo info = new PerformanceCounterInfo(null);
        info.loadParameters(counter, false);
        assertEquals(2, info.getScale());
        try {
            counter.setScaleFactor(8); // PDH_MAX_SCALE is 7
            fail("scale factor 8 was taken");
        } catch (PdhException expected) {
            assertEquals(PDH_INVALID_ARGUMENT, expected.getCode());
        }
    }

    public void testCounterAndQueryLifecycle() {
        WindowsPerformanceCounter counter = add(UP_TIME);
        long handle = counter.getHandle();
        assertTrue(handle != 0);
        assertEquals(UP_TIME, counter.getCounterPath());
        try {
            counter.createHandle(query.getHandle());
            fail("a counter was added twice");
        } catch (IllegalStateException expected) {
            assertEquals("Handle already open", expected.getMessage());
        }
        assertEquals(handle, counter.getHandle());
        query.update();
        assertTrue(sampleLarge(counter) > 0);

        counter.close();
        assertEquals(0, counter.getHandle());
        try {
            counter.close();
            fail("a removed counter was removed again");
        } catch (PdhException expected) {
            assertEquals(PDH_INVALID_HANDLE, expected.getCode());
        }
        assertEquals(0, counter.getHandle());

        long queryHandle = query.getHandle();
        assertTrue(query.isOpen());
        query.closeHandle();
        assertEquals(0, query.getHandle());
        assertFalse(query.isOpen());
        query.close(); // closed already: nothing to do
        try {
            PerformanceQuery.updateCounters(queryHandle);
            fail("a closed query collected");
        } catch (PdhException expected) {
            assertEquals(PDH_INVALID_HANDLE, expected.getCode());
        }
    }

    /** A counter the machine lacks, caught as the application catches it; the query goes on. */
    public void testUnknownCounterAsTheApplicationCatchesIt() {
        query.update(); // no counters yet: PDH has no data, which is no failure
        WindowsPerformanceCounter missing = new WindowsPerformanceCounter("\\Velaro Object\\No Such Counter");
        try {
            missing.createHandle(query.getHandle());
            fail("a counter the machine lacks was added");
        } catch (PdhException e) {
            assertTrue("code 0x" + Integer.toHexString(e.getCode()),
                    e.getCode() == PDH_CSTATUS_NO_OBJECT || e.getCode() == PDH_CSTATUS_NO_COUNTER);
            assertTrue(e.getCode() < 0);
        }
        assertEquals(0, missing.getHandle());

        WindowsPerformanceCounter counter = add(UP_TIME);
        query.update();
        assertTrue(sampleLarge(counter) > 0);
    }

    private WindowsPerformanceCounter add(String path) {
        WindowsPerformanceCounter counter = new WindowsPerformanceCounter(path);
        counter.createHandle(query.getHandle());
        return counter;
    }

    static long sampleLarge(WindowsPerformanceCounter counter) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(8);
        WindowsPerformanceCounter.storeValueInBuffer(counter.getHandle(), WindowsPerformanceCounter.PDH_FMT_LARGE, 0,
                buffer);
        return readLong(buffer, 0);
    }

    private static ByteBuffer filled(int size) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(size);
        for (int i = 0; i < size; ++i) {
            buffer.put(i, FILL);
        }
        return buffer;
    }

    private static void assertUntouched(ByteBuffer buffer, int from, int to) {
        for (int i = from; i < to; ++i) {
            assertEquals("byte " + i, FILL, buffer.get(i));
        }
    }

    // An 8-byte value whose bytes all kept the fill pattern was not written.
    private static void assertWritten(ByteBuffer buffer, int from, int width) {
        int kept = 0;
        for (int i = from; i < from + width; ++i) {
            kept += buffer.get(i) == FILL ? 1 : 0;
        }
        assertTrue("bytes " + from + " to " + (from + width) + " not written", kept < width);
    }

    // The buffer cannot be switched to little-endian here: read the bytes one by one.
    static int readInt(ByteBuffer buffer, int offset) {
        return (buffer.get(offset) & 0xFF) | (buffer.get(offset + 1) & 0xFF) << 8
                | (buffer.get(offset + 2) & 0xFF) << 16 | (buffer.get(offset + 3) & 0xFF) << 24;
    }

    static long readLong(ByteBuffer buffer, int offset) {
        return (readInt(buffer, offset) & 0xFFFFFFFFL) | (long) readInt(buffer, offset + 4) << 32;
    }
}
