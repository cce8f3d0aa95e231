package com.corvantis.windows.ras;

/** One phonebook entry as RasEnumEntries lists it. */
public final class RasEntryName {
    /** dwFlags value of an entry in the all-users phonebook. */
    public static final int REN_ALL_USERS = 1;

    private final String _entry_name;
    private final int _flags;
    private final String _phonebook_path;

    public RasEntryName(String entryName, int flags, String phonebookPath) {
        _entry_name = entryName;
        _flags = flags;
        _phonebook_path = phonebookPath;
    }

    public String getEntryName() {
        return _entry_name;
    }

    /** REN_ALL_USERS for an entry of the all-users phonebook, 0 for the current user's. */
    public int getFlags() {
        return _flags;
    }

    public String getPhonebookPath() {
        return _phonebook_path;
    }

    @Override
    public String toString() {
        return _entry_name + " (" + _phonebook_path + ")";
    }
}
