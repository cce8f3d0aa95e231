package com.corvantis.windows.ui.devicecontext;

/** One display adapter or monitor, as EnumDisplayDevices describes it. */
public final class DisplayDevice {
    /** State flags. */
    public static final int DISPLAY_DEVICE_ATTACHED_TO_DESKTOP = 0x00000001;
    public static final int DISPLAY_DEVICE_MULTI_DRIVER = 0x00000002;
    public static final int DISPLAY_DEVICE_PRIMARY_DEVICE = 0x00000004;
    public static final int DISPLAY_DEVICE_MIRRORING_DRIVER = 0x00000008;
    public static final int DISPLAY_DEVICE_VGA_COMPATIBLE = 0x00000010;
    public static final int DISPLAY_DEVICE_REMOVABLE = 0x00000020;
    public static final int DISPLAY_DEVICE_MODESPRUNED = 0x08000000;

    private String _device_name;
    private String _device_string;
    private int _state_flags;

    public DisplayDevice() {
    }

    /** The device name, such as \\.\DISPLAY1; pass it back to list the adapter's monitors. */
    public String getDeviceName() {
        return _device_name;
    }

    /** The device's description. */
    public String getDeviceString() {
        return _device_string;
    }

    public int getStateFlags() {
        return _state_flags;
    }

    public boolean isAttachedToDesktop() {
        return (_state_flags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
    }

    public boolean isPrimary() {
        return (_state_flags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
    }

    @Override
    public String toString() {
        return _device_name + " (" + _device_string + ")";
    }
}
