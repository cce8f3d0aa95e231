package com.quillstone.velaro.server;

import java.net.Inet4Address;
import java.net.Inet6Address;

/**
 * Extended statistics (ESTATS) of single TCP connections, from the native library
 * tcpestats, which needs fullbridge loaded (or loadable) beside it. A connection is
 * named by its MIB_TCP_STATE value and its local and remote addresses and ports.
 * Each statistics type has a read/write block (Rw), a read-only static block (Ros)
 * and a read-only dynamic block (Rod); a null array skips its block. Windows
 * failures are raised as {@link CodedSystemException}.
 */
public final class VistaNetworkingSupport {
    private VistaNetworkingSupport() {
    }

    /**
     * Reads the blocks of one statistics type of an IPv4 connection into the arrays.
     * The ports are host-order numbers; only their low 16 bits count.
     */
    public static native void getPerTcpConnectionEStats(int state, Inet4Address localAddress, int localPort,
            Inet4Address remoteAddress, int remotePort, int estatsType, byte[] rw, int rwVersion, byte[] ros,
            int rosVersion, byte[] rod, int rodVersion);

    /** The same for an IPv6 connection; the addresses' scope ids name their interfaces. */
    public static native void getPerTcpConnectionEStats(int state, Inet6Address localAddress, int localPort,
            Inet6Address remoteAddress, int remotePort, int estatsType, byte[] rw, int rwVersion, byte[] ros,
            int rosVersion, byte[] rod, int rodVersion);

    /**
     * Writes the read/write block of one statistics type of an IPv4 connection, by
     * which its collection is switched on or off. The ports are passed as the
     * connection row holds them: in network byte order in their low 16 bits.
     */
    public static native void setPerTcpConnectionEStats(int state, Inet4Address localAddress, int localPort,
            Inet4Address remoteAddress, int remotePort, int estatsType, byte[] rw, int rwVersion);

    /** The same for an IPv6 connection. */
    public static native void setPerTcpConnectionEStats(int state, Inet6Address localAddress, int localPort,
            Inet6Address remoteAddress, int remotePort, int estatsType, byte[] rw, int rwVersion);

    /** Size in bytes of TCP_ESTATS_REC_ROD_v0. */
    public static native int TCP_ESTATS_REC_ROD_V0_sizeof();

    /** Size in bytes of TCP_ESTATS_OBS_REC_ROD_v0. */
    public static native int TCP_ESTATS_OBS_REC_ROD_V0_sizeof();

    /** Network byte order of a port, as the set methods take it. */
    public static int toNetworkPort(int port) {
        return ((port & 0xFF) << 8) | ((port >> 8) & 0xFF);
    }
}
