package velaro.jvmtest.process;

import com.corvantis.windows.security.UserToken;
import com.quillstone.velaro.server.CodedSystemException;
import com.quillstone.velaro.server.XPSystem;
import junit.framework.TestCase;
import velaro.jvmtest.support.HostFiles;

/**
 * Idle time and logon as Wine offers them. Wine's LogonUserW logs nobody on: it
 * answers every request with a token value that is no handle, so impersonating it
 * and closing it are refused.
 */
public class LogonTest extends TestCase {
    private static final int LOGON32_LOGON_INTERACTIVE = 2;
    private static final int LOGON32_PROVIDER_DEFAULT = 0;
    private static final int ERROR_INVALID_HANDLE = 6;

    /** Under Wine the idle time is the host's, summed over its processors. */
    public void testIdleTimeIsTheHostsIdleTime() throws Exception {
        long hostBefore = HostFiles.idleTime100ns();
        long idle = XPSystem.getSystemIdleTime();
        long hostAfter = HostFiles.idleTime100ns();
        if (hostBefore >= 0) {
            assertTrue(idle + " outside " + hostBefore + " to " + hostAfter, idle >= hostBefore && idle <= hostAfter);
        }
        assertTrue(idle > 0);
        Thread.sleep(200);
        assertTrue("idle time never goes back", XPSystem.getSystemIdleTime() >= idle);
    }

    public void testLogonLeavesThePasswordArrayAsItWas() {
        char[] password = "Velaro-secret\0".toCharArray();
        char[] before = password.clone();
        UserToken token;
        try {
            token = XPSystem.logonUser("velaro-user", ".", password, LOGON32_LOGON_INTERACTIVE,
                    LOGON32_PROVIDER_DEFAULT);
        } catch (CodedSystemException e) {
            // Windows, which knows no such user: ERROR_LOGON_FAILURE.
            assertEquals(1326, e.getCode());
            assertEquals(new String(before), new String(password));
            return;
        }
        assertEquals(new String(before), new String(password));
        assertTrue(token.isOpen());
        long handle = token.getHandle();
        try {
            token.impersonateLoggedOnUser();
            fail("Wine's token value was impersonated");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INVALID_HANDLE, e.getCode());
        }
        UserToken.revertToSelf(); // a thread that does not impersonate
        try {
            token.close();
            fail("Wine's token value was closed");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INVALID_HANDLE, e.getCode());
        }
        assertEquals("a refused close keeps the handle", handle, token.getHandle());
    }

    public void testPasswordRefusalsAsTheApplicationCatchesThem() {
        try {
            XPSystem.logonUser("velaro-user", ".", null, LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT);
            fail("a logon without a password array was made");
        } catch (NullPointerException expected) {
            // as the application sees it
        }
        char[] unterminated = "no-terminator".toCharArray();
        try {
            XPSystem.logonUser("velaro-user", ".", unterminated, LOGON32_LOGON_INTERACTIVE,
                    LOGON32_PROVIDER_DEFAULT);
            fail("a password without its NUL was passed on");
        } catch (IllegalArgumentException expected) {
            assertEquals("no-terminator", new String(unterminated));
        }
    }
}
