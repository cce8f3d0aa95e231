package velaro.jvmtest.support;

/**
 * Thrown by a test that cannot run here (what it needs is absent); the runner counts
 * it as skipped and prints the reason, instead of as passed or failed.
 */
public final class TestSkipped extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public TestSkipped(String reason) {
        super(reason);
    }
}
