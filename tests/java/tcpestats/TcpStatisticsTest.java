package velaro.jvmtest.tcpestats;

import com.quillstone.velaro.server.VistaNetworkingSupport;
import java.net.Inet4Address;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.util.Arrays;
import junit.framework.TestCase;

/**
 * TCP extended statistics from tcpestats.dll, loaded after fullbridge.dll. Wine lacks
 * Get/SetPerTcp(6)ConnectionEStats and ends the process when one is called, so only
 * the refusals that stop before Windows is asked are called here.
 */
public class TcpStatisticsTest extends TestCase {
    private static final int ESTABLISHED = 5;
    private static final int TCP_CONNECTION_ESTATS_REC = 3;

    /**
     * The 64-bit layouts of the SDK's tcpestats.h: eleven ULONGs, two SIZE_Ts and a UCHAR;
     * three ULONGs and a UCHAR. Natural alignment, the size rounded up to the largest member's.
     */
    public void testRecordSizesOfTheDocumentedLayouts() {
        assertEquals(72, size(4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 8, 8, 1));
        assertEquals(16, size(4, 4, 4, 1));
        assertEquals(72, VistaNetworkingSupport.TCP_ESTATS_REC_ROD_V0_sizeof());
        assertEquals(16, VistaNetworkingSupport.TCP_ESTATS_OBS_REC_ROD_V0_sizeof());
    }

    public void testMissingAddressesRefusedBeforeWindowsIsAsked() throws Exception {
        Inet4Address loopback = (Inet4Address) InetAddress.getByAddress(new byte[] {127, 0, 0, 1});
        Object[][] cases = { // local, remote, message
            {null, loopback, "local address"},
            {loopback, null, "remote address"},
            {null, null, "local address"},
        };
        for (Object[] c : cases) {
            byte[] rw = pattern(16);
            byte[] ros = pattern(8);
            byte[] rod = pattern(72);
            try {
                VistaNetworkingSupport.getPerTcpConnectionEStats(ESTABLISHED, (Inet4Address) c[0], 80,
                        (Inet4Address) c[1], 8080, TCP_CONNECTION_ESTATS_REC, rw, 0, ros, 0, rod, 0);
                fail("statistics were asked for without " + c[2]);
            } catch (NullPointerException e) {
                assertEquals(c[2], e.getMessage());
            }
            assertTrue("arrays untouched", Arrays.equals(pattern(16), rw) && Arrays.equals(pattern(8), ros)
                    && Arrays.equals(pattern(72), rod));
            try {
                VistaNetworkingSupport.setPerTcpConnectionEStats(ESTABLISHED, (Inet4Address) c[0], 80,
                        (Inet4Address) c[1], 8080, TCP_CONNECTION_ESTATS_REC, rw, 0);
                fail("statistics were switched without " + c[2]);
            } catch (NullPointerException e) {
                assertEquals(c[2], e.getMessage());
            }
        }
    }

    public void testMissingIpv6AddressesRefusedBeforeWindowsIsAsked() throws Exception {
        byte[] bytes = new byte[16];
        bytes[15] = 1;
        Inet6Address loopback = Inet6Address.getByAddress("velaro", bytes, 3);
        assertEquals(3, loopback.getScopeId());
        byte[] rod = pattern(72);
        try {
            VistaNetworkingSupport.getPerTcpConnectionEStats(ESTABLISHED, loopback, 80, null, 8080,
                    TCP_CONNECTION_ESTATS_REC, null, 0, null, 0, rod, 0);
            fail("statistics were asked for without a remote address");
        } catch (NullPointerException e) {
            assertEquals("remote address", e.getMessage());
        }
        assertTrue(Arrays.equals(pattern(72), rod));
        try {
            VistaNetworkingSupport.setPerTcpConnectionEStats(ESTABLISHED, null, 80, loopback, 8080,
                    TCP_CONNECTION_ESTATS_REC, rod, 0);
            fail("statistics were switched without a local address");
        } catch (NullPointerException e) {
            assertEquals("local address", e.getMessage());
        }
    }

    /** The set methods take ports as the connection row holds them: network byte order. */
    public void testNetworkPort() {
        int[][] cases = {{80, 0x5000}, {8080, 0x901F}, {0x1234, 0x3412}, {0, 0}, {0xFFFF, 0xFFFF}};
        for (int[] c : cases) {
            assertEquals(c[1], VistaNetworkingSupport.toNetworkPort(c[0]));
            assertEquals(c[0], VistaNetworkingSupport.toNetworkPort(c[1]));
        }
    }

    private static int size(int... members) {
        int size = 0;
        int largest = 1;
        for (int m : members) {
            size = (size + m - 1) / m * m + m;
            largest = Math.max(largest, m);
        }
        return (size + largest - 1) / largest * largest;
    }

    private static byte[] pattern(int length) {
        byte[] bytes = new byte[length];
        for (int i = 0; i < length; ++i) {
            bytes[i] = (byte) (31 * i + 7);
        }
        return bytes;
    }
}
