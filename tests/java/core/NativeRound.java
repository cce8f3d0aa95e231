package velaro.jvmtest.core;

import com.corvantis.process.WindowsProcess;
import com.corvantis.windows.registry.RegistryKey;
import com.quillstone.velaro.server.WindowsSystem;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import junit.framework.Assert;
import velaro.jvmtest.support.ScratchKey;

/**
 * One round of natives that return strings, arrays, objects and filled collections,
 * each result checked against what the round itself passed in or wrote. The caller owns
 * the key (one per thread); every round writes values of its own before reading them.
 */
final class NativeRound {
    private static final String CHILD = "child";

    private final String _tag;
    private final ScratchKey _scratch;
    private final RegistryKey _key;
    private final String _systemRoot = System.getenv("SystemRoot");
    private final int _processId = WindowsSystem.getCurrentProcess().getProcessId();
    /** Results of earlier rounds, checked again at the end: they have been moved since. */
    private final List<Object[]> _kept = new ArrayList<Object[]>();

    NativeRound(String tag) {
        _tag = tag;
        _scratch = ScratchKey.create();
        _key = _scratch.key();
        RegistryKey child = _key.createAndGetSubKey(CHILD, false, RegistryKey.KEY_ALL_ACCESS);
        child.setIntValue("n", tag.hashCode());
        child.close();
    }

    void run(int round) {
        String text = _tag + "-" + round;

        String expanded = WindowsSystem.expandEnvironmentString("%SystemRoot%|" + text);
        Assert.assertEquals(_systemRoot + "|" + text, expanded);

        String[] arguments = WindowsSystem.parseCommandLineArguments("prog " + _tag + " \"r " + round + "\"");
        Assert.assertEquals(3, arguments.length);
        Assert.assertEquals(_tag, arguments[1]);
        Assert.assertEquals("r " + round, arguments[2]);

        WindowsProcess self = WindowsSystem.getCurrentProcess();
        Assert.assertEquals(_processId, self.getProcessId());

        _key.setStringValue("s", text);
        Assert.assertEquals(text, _key.getStringValue("s"));

        byte[] written = {(byte) round, (byte) (round >> 8), (byte) _tag.length(), 0, -1};
        _key.setBinaryValue("b", written);
        byte[] read = _key.getBinaryValue("b");
        Assert.assertEquals(written.length, read.length);
        for (int i = 0; i < read.length; ++i) {
            Assert.assertEquals(written[i], read[i]);
        }

        _key.setMultiStringValue("m", new String[] {_tag, "r" + round});
        List<String> strings = new ArrayList<String>();
        Assert.assertTrue(_key.addMultiStringValuesTo("m", strings));
        Assert.assertEquals(2, strings.size());
        Assert.assertEquals(_tag, strings.get(0));
        Assert.assertEquals("r" + round, strings.get(1));

        Map<String, Integer> types = new HashMap<String, Integer>();
        _key.addAvailableValues(types);
        Assert.assertEquals(3, types.size());
        Assert.assertEquals(Integer.valueOf(RegistryKey.REG_SZ), types.get("s"));
        Assert.assertEquals(Integer.valueOf(RegistryKey.REG_BINARY), types.get("b"));
        Assert.assertEquals(Integer.valueOf(RegistryKey.REG_MULTI_SZ), types.get("m"));

        List<String> subKeys = new ArrayList<String>();
        Assert.assertTrue(_key.addAvailableSubKeys(subKeys));
        Assert.assertEquals(1, subKeys.size());
        Assert.assertEquals(CHILD, subKeys.get(0));

        RegistryKey child = _key.openSubKey(CHILD, RegistryKey.KEY_READ);
        try {
            Assert.assertEquals(_tag.hashCode(), child.getIntValue("n"));
        } finally {
            child.close();
        }

        if (round % 16 == 0) {
            _kept.add(new Object[] {Integer.valueOf(round), expanded, arguments, read, strings, types});
        }
    }

    /** The kept results of earlier rounds still hold what they held when they were made. */
    void checkKept() {
        Assert.assertFalse(_kept.isEmpty());
        for (Object[] k : _kept) {
            int round = ((Integer) k[0]).intValue();
            Assert.assertEquals(_systemRoot + "|" + _tag + "-" + round, k[1]);
            Assert.assertEquals("r " + round, ((String[]) k[2])[2]);
            Assert.assertEquals((byte) round, ((byte[]) k[3])[0]);
            Assert.assertEquals("r" + round, ((List<?>) k[4]).get(1));
            Assert.assertEquals(3, ((Map<?, ?>) k[5]).size());
        }
    }

    void dispose() {
        _scratch.delete();
    }
}
