package com.corvantis.monitoring.windows;

/** What PDH tells about a counter that is in a query: type, status, scales, path and explanation. */
public class PerformanceCounterInfo {
    protected int _Type;
    protected int _CStatus;
    protected int _lScale;
    protected int _lDefaultScale;
    protected String _FullPath;
    protected String _ExplainText;
    /** Receives the counter's path elements; left alone when null. */
    protected WindowsCounterPath _path;

    public PerformanceCounterInfo() {
        _path = new WindowsCounterPath();
    }

    public PerformanceCounterInfo(WindowsCounterPath path) {
        _path = path;
    }

    /** Fills this object from the counter; the explanation text only when asked for. */
    public native void loadParameters(WindowsPerformanceCounter counter, boolean withExplainText);

    public int getType() {
        return _Type;
    }

    public int getCStatus() {
        return _CStatus;
    }

    public int getScale() {
        return _lScale;
    }

    public int getDefaultScale() {
        return _lDefaultScale;
    }

    public String getFullPath() {
        return _FullPath;
    }

    public String getExplainText() {
        return _ExplainText;
    }

    public WindowsCounterPath getPath() {
        return _path;
    }
}
