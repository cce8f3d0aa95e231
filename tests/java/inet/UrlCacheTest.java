package velaro.jvmtest.inet;

import com.corvantis.windows.inet.CacheEntry;
import com.corvantis.windows.inet.InetCache;
import com.quillstone.velaro.server.CodedSystemException;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import junit.framework.TestCase;

/**
 * Entries of the URL cache created, committed, found and deleted as the application
 * adds its own. Wine lacks the filtered cache walk (FindFirstUrlCacheEntryExW) and ends
 * the process when it is called, so clearCache is not called here.
 */
public class UrlCacheTest extends TestCase {
    private static final int ERROR_PATH_NOT_FOUND = 3;
    private static final int ERROR_INVALID_PARAMETER = 87;
    private static final String URL = "http://velaro-jvmtest.invalid/page";

    @Override
    protected void tearDown() {
        InetCache.deleteEntry(URL);
    }

    public void testEntryCreatedCommittedFoundAndDeleted() throws IOException {
        String fileName = InetCache.createUrlCacheEntry(URL, 5, "txt");
        assertTrue(fileName, fileName.endsWith(".txt"));
        File file = new File(fileName);
        byte[] data = {'V', 'e', 'l', 'a', 'r', 'o'};
        write(file, data);
        assertFalse("not in the cache before its commit", InetCache.deleteEntry(URL));

        long expires = System.currentTimeMillis() + 3600000L;
        CacheEntry entry = new CacheEntry(URL, fileName, expires, 0, InetCache.NORMAL_CACHE_ENTRY,
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", null);
        entry.commit();
        assertTrue(file.exists());
        assertEquals(new String(data), new String(read(file, data.length + 1)));

        assertTrue("found and deleted", InetCache.deleteEntry(URL));
        assertFalse("its file goes with it", file.exists());
        assertFalse("deleted once", InetCache.deleteEntry(URL));
    }

    /** An entry committed again under the same URL replaces the first. */
    public void testSecondCommitReplacesTheEntry() throws IOException {
        String first = InetCache.createUrlCacheEntry(URL, 0, null);
        write(new File(first), new byte[] {1});
        new CacheEntry(URL, first, 0, -1, InetCache.NORMAL_CACHE_ENTRY, null, null).commit();
        String second = InetCache.createUrlCacheEntry(URL, 0, null);
        assertFalse(first.equals(second));
        write(new File(second), new byte[] {2});
        new CacheEntry(URL, second, -1, 0, InetCache.STICKY_CACHE_ENTRY, null, "http://velaro-jvmtest.invalid/")
                .commit();
        assertTrue(InetCache.deleteEntry(URL));
        assertFalse("one entry for the URL", InetCache.deleteEntry(URL));
    }

    public void testRefusalsAsTheApplicationCatchesThem() {
        File reserved = new File(InetCache.createUrlCacheEntry(URL, 0, null));
        reserved.delete();
        String missing = new File(reserved.getParentFile(), "velaro-no-such-folder\\page.txt").getPath();
        try {
            new CacheEntry(URL, missing, 0, 0, InetCache.NORMAL_CACHE_ENTRY, null, null).commit();
            fail("an entry without its file was committed");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_PATH_NOT_FOUND, e.getCode());
            assertNotNull(e.getMessage());
        }
        assertFalse(InetCache.deleteEntry(URL));
        try {
            InetCache.createUrlCacheEntry(null, 0, null);
            fail("a file was made for no URL");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INVALID_PARAMETER, e.getCode());
        }
        try {
            InetCache.deleteEntry(null);
            fail("no URL was deleted");
        } catch (CodedSystemException e) {
            assertEquals(ERROR_INVALID_PARAMETER, e.getCode());
        }
    }

    public void testCacheEntryKeepsWhatItWasMadeWith() {
        CacheEntry entry = new CacheEntry("http://a.invalid/", "C:\\f.htm", 12L, 34L, InetCache.COOKIE_CACHE_ENTRY,
                "H", "http://o.invalid/");
        assertEquals("http://a.invalid/", entry.getUrl());
        assertEquals("C:\\f.htm", entry.getFileName());
        assertEquals(12L, entry.getExpires());
        assertEquals(34L, entry.getLastModified());
        assertEquals(InetCache.COOKIE_CACHE_ENTRY, entry.getCacheEntryType());
        assertEquals("H", entry.getHeaders());
        assertEquals("http://o.invalid/", entry.getOriginUrl());
    }

    private static void write(File file, byte[] data) throws IOException {
        FileOutputStream out = new FileOutputStream(file);
        try {
            out.write(data);
        } finally {
            out.close();
        }
    }

    private static byte[] read(File file, int most) throws IOException {
        FileInputStream in = new FileInputStream(file);
        try {
            byte[] buffer = new byte[most];
            int n = Math.max(in.read(buffer), 0);
            byte[] data = new byte[n];
            System.arraycopy(buffer, 0, data, 0, n);
            return data;
        } finally {
            in.close();
        }
    }
}
