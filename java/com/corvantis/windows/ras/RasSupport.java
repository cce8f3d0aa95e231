package com.corvantis.windows.ras;

/**
 * Reads the Remote Access Service phonebook and the active dial-up connections.
 * RAS failures are raised as {@link com.quillstone.velaro.server.CodedSystemException}
 * carrying the RAS error code.
 */
public final class RasSupport {
    private RasSupport() {
    }

    /**
     * The entries of a phonebook.
     *
     * @param phonebookPath the phonebook file, or null for the system phonebook
     */
    public static native RasEntryName[] getEntryNamesByPath(String phonebookPath);

    /** The dial-up connections that are up. */
    public static native RasConnection[] getActiveConnections();

    /**
     * The properties of one entry.
     *
     * @param phonebookPath the phonebook file, or null for the system phonebook
     */
    public static native RasEntry getEntryProperties(String phonebookPath, String entryName);
}
