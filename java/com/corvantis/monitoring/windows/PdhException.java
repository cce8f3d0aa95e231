package com.corvantis.monitoring.windows;

/** A failed performance-data call: the PDH status code and the system's text for it (or null). */
public class PdhException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    private final int _code;

    public PdhException(int code, String message) {
        super(message);
        _code = code;
    }

    /** The PDH status code, its 32 bits unchanged (PDH errors read negative). */
    public int getCode() {
        return _code;
    }
}
