package velaro.jvmtest.core;

import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.List;
import junit.framework.TestCase;

/**
 * Natives whose results the JVM's copying collector moves between calls, and the same
 * natives on several Java threads at once.
 */
public class GcThreadsTest extends TestCase {
    private static final int ROUNDS = 150;
    private static final int THREADS = 4;
    private static final int MIN_COLLECTIONS = 20;

    /** Makes garbage and counts the collections it saw, by a weak reference found cleared. */
    private static final class Garbage {
        private WeakReference<Object> _watch = new WeakReference<Object>(new Object());
        private int _collections;
        /** Keeps each round's junk until the next round, so some of it lives through a collection. */
        private Object _sink;

        void make(int round) {
            List<Object> junk = new ArrayList<Object>();
            for (int i = 0; i < 16; ++i) {
                junk.add(new byte[64 * 1024]);
                junk.add("junk " + round + " " + i);
            }
            _sink = junk;
            if (_watch.get() == null) {
                ++_collections;
                _watch = new WeakReference<Object>(new Object());
            }
        }

        int collections() {
            return _collections;
        }
    }

    public void testResultsSurviveManyCollections() {
        NativeRound natives = new NativeRound("gc");
        Garbage garbage = new Garbage();
        try {
            for (int round = 0; round < ROUNDS; ++round) {
                natives.run(round);
                garbage.make(round);
            }
            natives.checkKept();
        } finally {
            natives.dispose();
        }
        assertTrue("collections seen: " + garbage.collections(), garbage.collections() >= MIN_COLLECTIONS);
    }

    /** A thread that runs rounds with its own arguments and key, and keeps its first failure. */
    private static final class Worker extends Thread {
        private final String _tag;
        Throwable failure;
        int completed;

        Worker(String tag) {
            _tag = tag;
        }

        @Override
        public void run() {
            try {
                NativeRound natives = new NativeRound(_tag);
                Garbage garbage = new Garbage();
                try {
                    for (int round = 0; round < ROUNDS / 2; ++round) {
                        natives.run(round);
                        garbage.make(round);
                        ++completed;
                    }
                    natives.checkKept();
                } finally {
                    natives.dispose();
                }
            } catch (Throwable t) {
                failure = t;
            }
        }
    }

    public void testSameNativesOnSeveralThreadsAtOnce() throws Exception {
        Worker[] workers = new Worker[THREADS];
        for (int i = 0; i < THREADS; ++i) {
            workers[i] = new Worker("thread" + i);
        }
        for (Worker w : workers) {
            w.start();
        }
        for (Worker w : workers) {
            w.join();
        }
        for (Worker w : workers) {
            if (w.failure != null) {
                AssertionError error = new AssertionError(w.getName() + " at round " + w.completed + ": " + w.failure);
                error.initCause(w.failure);
                throw error;
            }
            assertEquals(ROUNDS / 2, w.completed);
        }
    }
}
