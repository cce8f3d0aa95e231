package com.corvantis.windows.inet;

/**
 * An entry to record in the URL cache. Times are Java times in milliseconds; 0 and -1
 * mean that no time is given.
 */
public class CacheEntry {
    private final String _url;
    private final String _file_name;
    private final long _expires;
    private final long _last_modified;
    private final int _cache_entry_type;
    private final String _headers;
    private final String _origin_url;

    /**
     * @param fileName the local file, as {@link InetCache#createUrlCacheEntry} returned it
     * @param cacheEntryType InetCache entry type bits
     * @param headers the response headers, or null
     * @param originUrl the URL first requested when this one results from a redirection, or null
     */
    public CacheEntry(String url, String fileName, long expires, long lastModified, int cacheEntryType,
            String headers, String originUrl) {
        _url = url;
        _file_name = fileName;
        _expires = expires;
        _last_modified = lastModified;
        _cache_entry_type = cacheEntryType;
        _headers = headers;
        _origin_url = originUrl;
    }

    public String getUrl() {
        return _url;
    }

    public String getFileName() {
        return _file_name;
    }

    public long getExpires() {
        return _expires;
    }

    public long getLastModified() {
        return _last_modified;
    }

    public int getCacheEntryType() {
        return _cache_entry_type;
    }

    public String getHeaders() {
        return _headers;
    }

    public String getOriginUrl() {
        return _origin_url;
    }

    /** Records the entry with CommitUrlCacheEntryW once its local file has been written. */
    public native void commit();
}
