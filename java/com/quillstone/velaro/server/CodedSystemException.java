package com.quillstone.velaro.server;

/**
 * A Windows failure: the 32-bit Windows error, HRESULT or structured-exception code
 * (values from 0x80000000 up read negative) and the system's message text for it,
 * which is null when Windows has no text for the code.
 */
public class CodedSystemException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    private final int _code;

    public CodedSystemException(int code, String message) {
        super(message);
        _code = code;
    }

    /** The Windows code, its 32 bits unchanged. */
    public int getCode() {
        return _code;
    }

    /** The code as the unsigned value Windows documents it with. */
    public long getUnsignedCode() {
        return _code & 0xFFFFFFFFL;
    }
}
