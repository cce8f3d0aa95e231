package com.corvantis.windows.inet;

import com.corvantis.windows.WindowsHandle;
import com.quillstone.browser.ConnectionOption;

/**
 * A WinInet handle (HINTERNET). Option numbers are WinInet's INTERNET_OPTION_* values,
 * passed through unchanged. A handle value of 0 addresses the options that apply to
 * the whole process. Windows failures are raised as
 * {@link com.quillstone.velaro.server.CodedSystemException}.
 */
public class InternetHandle extends WindowsHandle {
    public static final int INTERNET_OPTION_CONNECT_TIMEOUT = 2;
    public static final int INTERNET_OPTION_REFRESH = 37;
    public static final int INTERNET_OPTION_SETTINGS_CHANGED = 39;
    public static final int INTERNET_OPTION_VERSION = 40;
    public static final int INTERNET_OPTION_USER_AGENT = 41;
    public static final int INTERNET_OPTION_MAX_CONNS_PER_SERVER = 73;
    public static final int INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER = 74;
    public static final int INTERNET_OPTION_PER_CONNECTION_OPTION = 75;

    /** The handle of the options that apply to the whole process. */
    public InternetHandle() {
        this(0);
    }

    public InternetHandle(long handle) {
        super(handle);
    }

    /**
     * Closes the handle with InternetCloseHandle and sets it to 0; closing again does nothing.
     */
    @Override
    public native void close();

    /**
     * A 4-byte option.
     *
     * @throws java.nio.BufferUnderflowException if WinInet answered with another length
     */
    public native int getIntOption(int option);

    /**
     * An 8-byte option.
     *
     * @throws java.nio.BufferUnderflowException if WinInet answered with another length
     */
    public native long getLongOption(int option);

    /** Sets an option that takes no value, such as INTERNET_OPTION_SETTINGS_CHANGED. */
    public native void setOption(int option);

    /** Sets a 4-byte option. */
    public native void setOption(int option, int value);

    /** Sets a string option; null passes no value at all. */
    public native void setOption(int option, String value);

    /**
     * Reads per-connection options into the {@code _value} of each element, as an
     * Integer or a String according to its {@code _desired_type}.
     *
     * @param connection the dial-up entry, or null for the LAN settings
     * @throws IllegalArgumentException if a desired type is neither Integer nor String;
     *         the earlier elements have their values by then
     */
    public native void queryConnectionOptions(String connection, ConnectionOption[] options);

    /**
     * Writes per-connection options from the {@code _value} of each element, an Integer,
     * a String or null. Nothing is set when any element cannot be converted.
     *
     * @param connection the dial-up entry, or null for the LAN settings
     */
    public native void setConnectionOptions(String connection, ConnectionOption[] options);
}
