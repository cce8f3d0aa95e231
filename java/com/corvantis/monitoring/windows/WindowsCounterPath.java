package com.corvantis.monitoring.windows;

import java.util.ArrayList;

/**
 * A performance counter path split into its elements: machine, object, instance,
 * parent instance, instance index and counter. A null element is absent from the
 * path. Failures of the performance data library are raised as {@link PdhException}.
 */
public class WindowsCounterPath {
    protected String _host_name;
    protected String _object_name;
    protected String _instance_name;
    protected String _parent_instance_name;
    protected int _instance_index;
    protected String _counter_name;

    public WindowsCounterPath() {
    }

    public WindowsCounterPath(String hostName, String objectName, String instanceName, String parentInstanceName,
            int instanceIndex, String counterName) {
        _host_name = hostName;
        _object_name = objectName;
        _instance_name = instanceName;
        _parent_instance_name = parentInstanceName;
        _instance_index = instanceIndex;
        _counter_name = counterName;
    }

    /** Splits a full counter path such as {@code \\host\Processor(_Total)\% Processor Time} into the elements. */
    public native void crack(String fullPath);

    /** The full path made from the elements; flags as PdhMakeCounterPath takes them. */
    public native String resolveCounterPath(int makeFlags);

    /** The paths that match the wild cards of this path. */
    public native ArrayList<String> expandWildCardPath(int makeFlags, int expandFlags);

    /** The paths that match the wild cards of {@code path}. */
    public static native ArrayList<String> expandWildCardPath(String path, int expandFlags);

    /** The name with this index in the counter name table of a machine (null: the local one). */
    public static native String lookupName(String machineName, int index);

    /** The index of a counter or object name in the counter name table of a machine (null: the local one). */
    public static native int rawLookupPerfIndex(String machineName, String name);

    public String getHostName() {
        return _host_name;
    }

    public String getObjectName() {
        return _object_name;
    }

    public String getInstanceName() {
        return _instance_name;
    }

    public String getParentInstanceName() {
        return _parent_instance_name;
    }

    public int getInstanceIndex() {
        return _instance_index;
    }

    public String getCounterName() {
        return _counter_name;
    }
}
