package com.quillstone.browser;

/** The system browser's automatic proxy detection. */
public final class InternetExplorer {
    public static final int PROXY_AUTO_DETECT_TYPE_DHCP = 1;
    public static final int PROXY_AUTO_DETECT_TYPE_DNS_A = 2;

    private InternetExplorer() {
    }

    /**
     * Runs WinInet's automatic proxy detection.
     *
     * @param bufferLength bytes offered for the URL, its terminating NUL included
     * @param detectFlags PROXY_AUTO_DETECT_TYPE_* bits
     * @return the URL of the proxy configuration script, or null when none was found
     *         or it did not fit
     */
    public static native String detectAutoProxyUrl(int bufferLength, int detectFlags);
}
