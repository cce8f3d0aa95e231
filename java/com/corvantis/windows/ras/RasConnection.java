package com.corvantis.windows.ras;

/** One active dial-up connection as RasEnumConnections lists it. */
public final class RasConnection {
    private final String _entry_name;
    private final String _device_type;
    private final String _device_name;
    private final String _phonebook;
    private final int _sub_entry;

    public RasConnection(String entryName, String deviceType, String deviceName, String phonebook, int subEntry) {
        _entry_name = entryName;
        _device_type = deviceType;
        _device_name = deviceName;
        _phonebook = phonebook;
        _sub_entry = subEntry;
    }

    public String getEntryName() {
        return _entry_name;
    }

    /** The RASDT_ device type, such as "modem" or "vpn". */
    public String getDeviceType() {
        return _device_type;
    }

    public String getDeviceName() {
        return _device_name;
    }

    public String getPhonebook() {
        return _phonebook;
    }

    /** The one-based sub-entry index of a multilink connection. */
    public int getSubEntry() {
        return _sub_entry;
    }

    @Override
    public String toString() {
        return _entry_name + " on " + _device_name;
    }
}
