package velaro.jvmtest.support;

import junit.framework.TestCase;

/** Known outcomes for the runner's own check (tests/java/runner_check.cmake); not part of the suite. */
public class RunnerFixture extends TestCase {
    public void testPasses() {
        assertEquals(System.getProperty("velaro.bridge"), Bridge.name());
    }

    public void testFails() {
        fail("planted failure");
    }

    public void testThrows() {
        throw new IllegalStateException("planted error");
    }

    public void testSkips() {
        throw new TestSkipped("planted skip");
    }
}
