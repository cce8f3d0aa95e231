package com.corvantis.windows.registry;

/** A registry value is stored with a type that the reading method does not accept. */
public class InvalidRegistryTypeException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** The expected type when the method accepts exactly one, else -1. */
    private final int _expected_type;
    private final int _stored_type;

    public InvalidRegistryTypeException(int expectedType, int storedType) {
        super("registry value has type " + storedType + ", expected " + expectedType);
        _expected_type = expectedType;
        _stored_type = storedType;
    }

    public InvalidRegistryTypeException(int storedType) {
        super("registry value has type " + storedType + ", which is not accepted here");
        _expected_type = -1;
        _stored_type = storedType;
    }

    /** The one type the method accepts, or -1 when it accepts several. */
    public int getExpectedType() {
        return _expected_type;
    }

    public int getStoredType() {
        return _stored_type;
    }
}
