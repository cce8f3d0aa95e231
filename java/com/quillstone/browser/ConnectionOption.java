package com.quillstone.browser;

/**
 * One WinInet per-connection option (INTERNET_PER_CONN_*) with its value: an Integer
 * for word options, a String for string options.
 */
public class ConnectionOption {
    public static final int INTERNET_PER_CONN_FLAGS = 1;
    public static final int INTERNET_PER_CONN_PROXY_SERVER = 2;
    public static final int INTERNET_PER_CONN_PROXY_BYPASS = 3;
    public static final int INTERNET_PER_CONN_AUTOCONFIG_URL = 4;
    public static final int INTERNET_PER_CONN_AUTODISCOVERY_FLAGS = 5;

    /** Bits of INTERNET_PER_CONN_FLAGS. */
    public static final int PROXY_TYPE_DIRECT = 1;
    public static final int PROXY_TYPE_PROXY = 2;
    public static final int PROXY_TYPE_AUTO_PROXY_URL = 4;
    public static final int PROXY_TYPE_AUTO_DETECT = 8;

    private final int _option_code;
    private Object _value;
    private final Class<?> _desired_type;

    /** An option to be read as the given type. */
    public ConnectionOption(int optionCode, Class<?> desiredType) {
        _option_code = optionCode;
        _desired_type = desiredType;
    }

    /** A word option to be set. */
    public ConnectionOption(int optionCode, int value) {
        _option_code = optionCode;
        _value = Integer.valueOf(value);
        _desired_type = Integer.class;
    }

    /** A string option to be set; null clears it. */
    public ConnectionOption(int optionCode, String value) {
        _option_code = optionCode;
        _value = value;
        _desired_type = String.class;
    }

    public int getOptionCode() {
        return _option_code;
    }

    public Object getValue() {
        return _value;
    }

    public void setValue(Object value) {
        _value = value;
    }

    public Class<?> getDesiredType() {
        return _desired_type;
    }
}
