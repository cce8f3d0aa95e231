package velaro.jvmtest.inet;

import com.corvantis.windows.inet.InternetHandle;
import com.quillstone.browser.ConnectionOption;
import junit.framework.TestCase;
import velaro.jvmtest.support.WindowsCommand;

/**
 * The LAN proxy settings, read, written and restored through the per-connection
 * options, and compared with what reg.exe finds where WinInet keeps them.
 */
public class ConnectionOptionsTest extends TestCase {
    private static final String SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    private static final String SERVER = "velaro-proxy.invalid:8080";
    private static final String BYPASS = "<local>;*.velaro.invalid";

    private final InternetHandle process = new InternetHandle();
    private ConnectionOption[] original;

    @Override
    protected void setUp() {
        original = lanSettings();
    }

    @Override
    protected void tearDown() {
        process.setConnectionOptions(null, original);
        ConnectionOption[] now = lanSettings();
        for (int i = 0; i < now.length; ++i) {
            assertEquals("restored option " + now[i].getOptionCode(), original[i].getValue(), now[i].getValue());
        }
    }

    public void testLanProxyWrittenReadAndRestored() {
        // Wine keeps only whether a proxy is on, so the flags are one bit: PROXY_TYPE_PROXY.
        int flags = ConnectionOption.PROXY_TYPE_PROXY;
        process.setConnectionOptions(null, new ConnectionOption[] {
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_FLAGS, flags),
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_SERVER, SERVER),
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_BYPASS, BYPASS),
        });

        ConnectionOption[] read = lanSettings();
        assertEquals(Integer.valueOf(flags), read[0].getValue());
        assertEquals(SERVER, read[1].getValue());
        // Wine drops the bypass list it is given.
        assertTrue(String.valueOf(read[2].getValue()), read[2].getValue() == null || BYPASS.equals(read[2].getValue()));

        WindowsCommand registry = WindowsCommand.reg("query", SETTINGS).requireSuccess();
        assertEquals("REG_DWORD 0x1", registryValue(registry, "ProxyEnable"));
        assertEquals("REG_SZ " + SERVER, registryValue(registry, "ProxyServer"));
    }

    /** A string option written as null reads back as null. */
    public void testNullStringValue() {
        process.setConnectionOptions(null, new ConnectionOption[] {
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_SERVER, SERVER)});
        assertEquals(SERVER, lanSettings()[1].getValue());
        process.setConnectionOptions(null, new ConnectionOption[] {
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_SERVER, (String) null)});
        assertNull(lanSettings()[1].getValue());
    }

    public void testUnsupportedTypesAsTheApplicationCatchesThem() {
        ConnectionOption flags = new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_FLAGS, Integer.class);
        ConnectionOption server = new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_SERVER, Long.class);
        try {
            process.queryConnectionOptions(null, new ConnectionOption[] {flags, server});
            fail("a Long result was made");
        } catch (IllegalArgumentException e) {
            assertEquals("unsupported result type", e.getMessage());
        }
        assertEquals(original[0].getValue(), flags.getValue());
        assertNull(server.getValue());

        ConnectionOption proxy = new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_SERVER, SERVER);
        ConnectionOption wrong = new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_FLAGS, Integer.class);
        wrong.setValue(Long.valueOf(ConnectionOption.PROXY_TYPE_PROXY));
        try {
            process.setConnectionOptions(null, new ConnectionOption[] {proxy, wrong});
            fail("a Long value was set");
        } catch (IllegalArgumentException e) {
            assertEquals("unsupported value type", e.getMessage());
        }
        assertEquals("nothing set", original[1].getValue(), lanSettings()[1].getValue());

        try {
            process.queryConnectionOptions(null, null);
            fail("a null array was read into");
        } catch (NullPointerException expected) {
            // as the application sees it
        }
        try {
            process.setConnectionOptions(null, new ConnectionOption[] {proxy, null});
            fail("a null element was set");
        } catch (NullPointerException expected) {
            assertEquals("nothing set", original[1].getValue(), lanSettings()[1].getValue());
        }
    }

    private ConnectionOption[] lanSettings() {
        ConnectionOption[] options = {
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_FLAGS, Integer.class),
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_SERVER, String.class),
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_PROXY_BYPASS, String.class),
            new ConnectionOption(ConnectionOption.INTERNET_PER_CONN_AUTOCONFIG_URL, String.class),
        };
        process.queryConnectionOptions(null, options);
        // The object read into must keep the code and type it was made with.
        assertEquals(ConnectionOption.INTERNET_PER_CONN_AUTOCONFIG_URL, options[3].getOptionCode());
        assertEquals(String.class, options[3].getDesiredType());
        return options;
    }

    /**
     * "TYPE data" of a value in reg.exe's listing of one key, or null. Read line by line:
     * Avian's regular expressions lack the flag that lets a pattern span lines.
     */
    private static String registryValue(WindowsCommand query, String name) {
        for (String line : query.lines()) {
            String[] columns = line.trim().split(" {4}");
            if (columns.length == 3 && columns[0].equals(name)) {
                return columns[1] + " " + columns[2];
            }
            if (line.startsWith("HKEY_") && !line.equals(SETTINGS.replace("HKCU", "HKEY_CURRENT_USER"))) {
                break; // a sub-key's listing begins
            }
        }
        return null;
    }
}
