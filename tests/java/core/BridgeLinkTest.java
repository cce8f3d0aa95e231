package velaro.jvmtest.core;

import com.corvantis.windows.security.UserToken;
import com.corvantis.windows.ui.WindowsUISupport;
import com.quillstone.velaro.server.VistaNetworkingSupport;
import com.quillstone.velaro.server.XPSystem;
import java.util.ArrayList;
import junit.framework.TestCase;
import velaro.jvmtest.support.Bridge;

/**
 * The natives only fullbridge (and tcpestats beside it) exports: bound in a fullbridge
 * run, UnsatisfiedLinkError where the application loaded corebridge.
 */
public class BridgeLinkTest extends TestCase {
    /** A call of a native that corebridge lacks. */
    private abstract static class FullOnly {
        final String method;

        FullOnly(String method) {
            this.method = method;
        }

        abstract Object call();
    }

    private static final FullOnly[] CALLS = {
        new FullOnly("getSystemIdleTime") {
            Object call() {
                return Long.valueOf(XPSystem.getSystemIdleTime());
            }
        },
        new FullOnly("getWindowStations") {
            Object call() {
                return WindowsUISupport.getWindowStations();
            }
        },
        new FullOnly("revertToSelf") {
            Object call() {
                UserToken.revertToSelf();
                return "returned";
            }
        },
        new FullOnly("TCP_ESTATS_REC_ROD_V0_sizeof") {
            Object call() {
                return Integer.valueOf(VistaNetworkingSupport.TCP_ESTATS_REC_ROD_V0_sizeof());
            }
        },
    };

    public void testFullBridgeOnlyNatives() {
        for (FullOnly c : CALLS) {
            if (Bridge.isFull()) {
                Object result = c.call();
                assertNotNull(c.method, result);
                if (result instanceof ArrayList) {
                    assertTrue(c.method + " " + result, ((ArrayList<?>) result).contains("WinSta0"));
                }
                if (result instanceof Long) {
                    assertTrue(c.method + " " + result, ((Long) result).longValue() >= 0);
                }
                if (result instanceof Integer) {
                    assertTrue(c.method + " " + result, ((Integer) result).intValue() > 0);
                }
            } else {
                try {
                    c.call();
                    fail(c.method + " is bound with corebridge");
                } catch (UnsatisfiedLinkError expected) {
                    assertTrue(expected.getMessage(), String.valueOf(expected.getMessage()).contains(c.method));
                }
            }
        }
    }
}
