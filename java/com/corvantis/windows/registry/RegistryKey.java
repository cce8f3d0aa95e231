package com.corvantis.windows.registry;

import com.corvantis.windows.WindowsHandle;
import java.util.Collection;
import java.util.Iterator;
import java.util.Map;

/**
 * An open registry key. Value methods take the value name; null names the key's
 * default (unnamed) value. A missing value or sub-key is reported as
 * {@link java.util.NoSuchElementException} with the name as message, a value of
 * another type as {@link InvalidRegistryTypeException}, any other Windows failure
 * as {@link com.quillstone.velaro.server.CodedSystemException}.
 */
public class RegistryKey extends WindowsHandle {
    /** Registry value types, as Windows numbers them. */
    public static final int REG_NONE = 0;
    public static final int REG_SZ = 1;
    public static final int REG_EXPAND_SZ = 2;
    public static final int REG_BINARY = 3;
    public static final int REG_DWORD = 4;
    public static final int REG_DWORD_BIG_ENDIAN = 5;
    public static final int REG_LINK = 6;
    public static final int REG_MULTI_SZ = 7;
    public static final int REG_QWORD = 11;

    /** Access rights (REGSAM) for opening and creating keys. */
    public static final int KEY_QUERY_VALUE = 0x0001;
    public static final int KEY_SET_VALUE = 0x0002;
    public static final int KEY_CREATE_SUB_KEY = 0x0004;
    public static final int KEY_ENUMERATE_SUB_KEYS = 0x0008;
    public static final int KEY_NOTIFY = 0x0010;
    public static final int KEY_WOW64_64KEY = 0x0100;
    public static final int KEY_WOW64_32KEY = 0x0200;
    public static final int KEY_READ = 0x20019;
    public static final int KEY_WRITE = 0x20006;
    public static final int KEY_ALL_ACCESS = 0xF003F;

    public RegistryKey(long handle) {
        super(handle);
    }

    /** A REG_SZ value, without its terminating NUL. */
    public native String getStringValue(String name);

    /** A REG_EXPAND_SZ value as stored, environment references not expanded. */
    public native String getExpandableStringValue(String name);

    /** A REG_SZ value, or a REG_EXPAND_SZ value with its environment references expanded. */
    public native String resolveStringValue(String name);

    /** Writes a REG_SZ value. */
    public native void setStringValue(String name, String value);

    /** Writes a REG_EXPAND_SZ value; the text is stored unexpanded. */
    public native void setExpandableStringValue(String name, String value);

    /**
     * Adds each string of a REG_MULTI_SZ value to {@code strings}.
     *
     * @return true if any add call returned true
     */
    public native boolean addMultiStringValuesTo(String name, Collection<? super String> strings);

    /** Writes a REG_MULTI_SZ value from strings; an element that is not a String is refused. */
    public native void setMultiStringValue(String name, Iterator<?> strings);

    /** Writes a REG_MULTI_SZ value from strings. */
    public native void setMultiStringValue(String name, String[] strings);

    /** A REG_DWORD value. */
    public native int getIntValue(String name);

    /** Writes a REG_DWORD value. */
    public native void setIntValue(String name, int value);

    /** A REG_QWORD value. */
    public native long getLongValue(String name);

    /** Writes a REG_QWORD value. */
    public native void setLongValue(String name, long value);

    /** A REG_BINARY value, exactly as long as stored. */
    public native byte[] getBinaryValue(String name);

    /** Writes a REG_BINARY value. */
    public native void setBinaryValue(String name, byte[] data);

    /** @return true if the value was deleted, false if there was no such value */
    public native boolean deleteValue(String name);

    public native int getNumberValues();

    /** Writes the key's changes to disk. */
    public native void flush();

    /**
     * Opens a sub-key with the access rights {@code samDesired}; a null name opens
     * the same key again as an independent object.
     */
    public native RegistryKey openSubKey(String name, int samDesired);

    /**
     * Opens a sub-key, creating it when it does not exist; a volatile key is not kept
     * across restarts.
     */
    public native RegistryKey createAndGetSubKey(String name, boolean isVolatile, int samDesired);

    /**
     * Deletes a sub-key that has no sub-keys of its own.
     *
     * @return true if it was deleted, false if there was no such sub-key
     */
    public native boolean deleteSubKey(String name);

    /**
     * Adds the names of all sub-keys to {@code names}.
     *
     * @return true if any add call returned true
     */
    public native boolean addAvailableSubKeys(Collection<? super String> names);

    /** Puts each value name with its type; the default value is put under "". */
    public native void addAvailableValues(Map<? super String, ? super Integer> types);

    public native int getNumberSubKeys();

    /** Time of the key's last write, in milliseconds since 1970-01-01 UTC. */
    public native long getLastWriteTime();

    /** Saves the key and its sub-keys to a new file (Windows asks for the backup privilege). */
    public native void saveToFile(String path);

    /** Closes the key with RegCloseKey; closing again does nothing. */
    @Override
    public native void close();
}
