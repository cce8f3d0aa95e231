package com.corvantis.windows.inet;

/**
 * The current user's WinInet URL cache. Windows failures are raised as
 * {@link com.quillstone.velaro.server.CodedSystemException}.
 */
public final class InetCache {
    /** Entry type bits, for filters and for {@link CacheEntry}. */
    public static final int NORMAL_CACHE_ENTRY = 0x00000001;
    public static final int STICKY_CACHE_ENTRY = 0x00000004;
    public static final int EDITED_CACHE_ENTRY = 0x00000008;
    public static final int SPARSE_CACHE_ENTRY = 0x00010000;
    public static final int COOKIE_CACHE_ENTRY = 0x00100000;
    public static final int URLHISTORY_CACHE_ENTRY = 0x00200000;

    private InetCache() {
    }

    /**
     * Deletes the entries that match a pattern and a filter; entries that are gone or
     * in use are skipped.
     *
     * @param urlPattern "cookie:", "visited:", or null for the content entries
     * @param filter entry type bits of the entries to delete
     * @return the number of entries deleted
     */
    public static native int clearCache(String urlPattern, int filter);

    /** @return true if the entry was deleted, false if it was not in the cache */
    public static native boolean deleteEntry(String url);

    /**
     * Reserves a local file for a new entry; write the data into it, then
     * {@link CacheEntry#commit()} the entry.
     *
     * @param expectedSize the expected size of the data, 0 when unknown
     * @param extension the file name extension, or null
     * @return the path of the new file
     */
    public static native String createUrlCacheEntry(String url, int expectedSize, String extension);
}
