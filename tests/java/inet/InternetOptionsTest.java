package velaro.jvmtest.inet;

import com.corvantis.windows.inet.InternetHandle;
import com.quillstone.browser.InternetExplorer;
import com.quillstone.velaro.server.CodedSystemException;
import junit.framework.TestCase;

/** WinInet options of the whole process (the null Internet handle), written, read and restored. */
public class InternetOptionsTest extends TestCase {
    private static final int ERROR_INVALID_HANDLE = 6;
    private static final int ERROR_INSUFFICIENT_BUFFER = 122;
    private static final int ERROR_INTERNET_INVALID_OPTION = 12009;
    private static final int ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;

    public void testWordOptionsWrittenReadAndRestored() {
        int[][] cases = {
            {InternetHandle.INTERNET_OPTION_CONNECT_TIMEOUT, 12345},
            {InternetHandle.INTERNET_OPTION_MAX_CONNS_PER_SERVER, 7},
            {InternetHandle.INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, 9},
        };
        InternetHandle process = new InternetHandle();
        for (int[] c : cases) {
            int original = process.getIntOption(c[0]);
            assertTrue("option " + c[0] + " already holds " + c[1], original != c[1]);
            process.setOption(c[0], c[1]);
            try {
                assertEquals("option " + c[0], c[1], process.getIntOption(c[0]));
                // The notice that settings changed leaves them as they are.
                process.setOption(InternetHandle.INTERNET_OPTION_SETTINGS_CHANGED);
                assertEquals("option " + c[0], c[1], process.getIntOption(c[0]));
            } finally {
                process.setOption(c[0], original);
            }
            assertEquals("option " + c[0], original, process.getIntOption(c[0]));
        }
        assertEquals(0, process.getHandle());
    }

    /** INTERNET_VERSION_INFO is two words, major then minor: WinInet reports 1.2. */
    public void testVersionIsAnEightByteOption() {
        InternetHandle process = new InternetHandle();
        long version = process.getLongOption(InternetHandle.INTERNET_OPTION_VERSION);
        assertEquals("major", 1, (int) version);
        assertEquals("minor", 2, (int) (version >>> 32));
        try {
            process.getIntOption(InternetHandle.INTERNET_OPTION_VERSION);
            fail("eight bytes were read into four");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INSUFFICIENT_BUFFER, e.getCode());
            assertEquals(ERROR_INSUFFICIENT_BUFFER, e.getUnsignedCode());
        }
    }

    public void testRefusalsAsTheApplicationCatchesThem() {
        InternetHandle process = new InternetHandle();
        int[] refused = {ERROR_INTERNET_INVALID_OPTION, ERROR_INTERNET_INCORRECT_HANDLE_TYPE};
        try {
            process.getIntOption(9999);
            fail("an option WinInet lacks was read");
        } catch (CodedSystemException e) {
            assertOneOf(refused, e.getCode());
        }
        // The user agent belongs to a session handle, not to the process.
        try {
            process.setOption(InternetHandle.INTERNET_OPTION_USER_AGENT, "Velaro");
            fail("a user agent was set on the process");
        } catch (CodedSystemException e) {
            assertOneOf(refused, e.getCode());
        }
    }

    public void testCloseKeepsAHandleWinInetRefuses() {
        InternetHandle none = new InternetHandle();
        none.close();
        assertEquals(0, none.getHandle());

        InternetHandle unknown = new InternetHandle(0x5EA1L);
        assertTrue(unknown.isOpen());
        try {
            unknown.close();
            fail("WinInet closed a handle it never gave out");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INVALID_HANDLE, e.getCode());
        }
        assertEquals(0x5EA1L, unknown.getHandle());
    }

    /** The test machines' networks offer no proxy configuration script. */
    public void testNoAutoProxyScriptFound() {
        int both = InternetExplorer.PROXY_AUTO_DETECT_TYPE_DHCP | InternetExplorer.PROXY_AUTO_DETECT_TYPE_DNS_A;
        assertNull(InternetExplorer.detectAutoProxyUrl(2048, both));
        assertNull(InternetExplorer.detectAutoProxyUrl(1, both));
    }

    private static void assertOneOf(int[] codes, int code) {
        for (int c : codes) {
            if (c == code) {
                return;
            }
        }
        fail("code " + code);
    }
}
