package com.corvantis.windows.ras;

import java.nio.charset.StandardCharsets;

/**
 * The properties of one phonebook entry: the RASENTRYW record exactly as Windows
 * filled it (little-endian, 4-byte packing), whose version its first member gives.
 * The text members are read at offsets derived from the native limit constants.
 */
public final class RasEntry {
    private final byte[] _record;

    public RasEntry(byte[] record) {
        _record = record;
    }

    public static native int MAX_PATH();

    public static native int RAS_MaxAreaCode();

    public static native int RAS_MaxPhoneNumber();

    public static native int RAS_MaxDeviceType();

    public static native int RAS_MaxDeviceName();

    public static native int RAS_MaxPadType();

    public static native int RAS_MaxX25Address();

    public static native int RAS_MaxFacilities();

    public static native int RAS_MaxUserData();

    /** Offsets of the record's members, in bytes. */
    private static final class Layout {
        static final int OPTIONS = 4;
        static final int COUNTRY_ID = 8;
        static final int COUNTRY_CODE = 12;
        static final int AREA_CODE = 16;
        static final int LOCAL_PHONE_NUMBER = AREA_CODE + text(RAS_MaxAreaCode());
        static final int ALTERNATE_OFFSET = align(LOCAL_PHONE_NUMBER + text(RAS_MaxPhoneNumber()));
        // dwAlternateOffset, five RASIPADDR, dwFrameSize and dwfNetProtocols come first.
        static final int FRAMING_PROTOCOL = ALTERNATE_OFFSET + 4 + 5 * 4 + 2 * 4;
        static final int SCRIPT = FRAMING_PROTOCOL + 4;
        // szScript, szAutodialDll and szAutodialFunc.
        static final int DEVICE_TYPE = SCRIPT + 3 * path();
        static final int DEVICE_NAME = DEVICE_TYPE + text(RAS_MaxDeviceType());
        static final int X25_PAD_TYPE = DEVICE_NAME + text(RAS_MaxDeviceName());
        static final int X25_ADDRESS = X25_PAD_TYPE + text(RAS_MaxPadType());
        static final int X25_FACILITIES = X25_ADDRESS + text(RAS_MaxX25Address());
        static final int X25_USER_DATA = X25_FACILITIES + text(RAS_MaxFacilities());
        static final int CHANNELS = align(X25_USER_DATA + text(RAS_MaxUserData()));

        private Layout() {
        }

        /** Bytes of a text member of at most {@code limit} characters and its NUL. */
        private static int text(int limit) {
            return 2 * (limit + 1);
        }

        private static int path() {
            return 2 * MAX_PATH();
        }

        private static int align(int offset) {
            return (offset + 3) & ~3;
        }
    }

    /** A copy of the record bytes. */
    public byte[] getRecord() {
        return _record.clone();
    }

    /** The record version's size in bytes (dwSize). */
    public int getSize() {
        return readInt(0);
    }

    /** The RASEO_ option bits (dwfOptions). */
    public int getOptions() {
        return readInt(Layout.OPTIONS);
    }

    public int getCountryId() {
        return readInt(Layout.COUNTRY_ID);
    }

    public int getCountryCode() {
        return readInt(Layout.COUNTRY_CODE);
    }

    public String getAreaCode() {
        return readText(Layout.AREA_CODE, Layout.LOCAL_PHONE_NUMBER);
    }

    public String getLocalPhoneNumber() {
        return readText(Layout.LOCAL_PHONE_NUMBER, Layout.ALTERNATE_OFFSET);
    }

    /** The RASFP_ framing protocol. */
    public int getFramingProtocol() {
        return readInt(Layout.FRAMING_PROTOCOL);
    }

    public String getScript() {
        return readText(Layout.SCRIPT, Layout.SCRIPT + Layout.path());
    }

    public String getDeviceType() {
        return readText(Layout.DEVICE_TYPE, Layout.DEVICE_NAME);
    }

    public String getDeviceName() {
        return readText(Layout.DEVICE_NAME, Layout.X25_PAD_TYPE);
    }

    public String getX25PadType() {
        return readText(Layout.X25_PAD_TYPE, Layout.X25_ADDRESS);
    }

    public String getX25Address() {
        return readText(Layout.X25_ADDRESS, Layout.X25_FACILITIES);
    }

    public String getX25Facilities() {
        return readText(Layout.X25_FACILITIES, Layout.X25_USER_DATA);
    }

    public String getX25UserData() {
        return readText(Layout.X25_USER_DATA, Layout.CHANNELS);
    }

    public int getChannels() {
        return readInt(Layout.CHANNELS);
    }

    private int readInt(int offset) {
        return (_record[offset] & 0xFF) | (_record[offset + 1] & 0xFF) << 8 | (_record[offset + 2] & 0xFF) << 16
                | (_record[offset + 3] & 0xFF) << 24;
    }

    /** The UTF-16 text from offset up to its NUL, or up to end when there is none. */
    private String readText(int offset, int end) {
        int stop = offset;
        while (stop + 1 < end && (_record[stop] != 0 || _record[stop + 1] != 0)) {
            stop += 2;
        }
        return new String(_record, offset, stop - offset, StandardCharsets.UTF_16LE);
    }
}
