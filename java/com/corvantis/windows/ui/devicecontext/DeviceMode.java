package com.corvantis.windows.ui.devicecontext;

/**
 * A display mode to apply. Only the members whose DM_ bit is set in the fields
 * mask are applied; the setters set the bit of their member.
 */
public final class DeviceMode {
    /** Bits of the fields mask. */
    public static final int DM_BITSPERPEL = 0x00040000;
    public static final int DM_PELSWIDTH = 0x00080000;
    public static final int DM_PELSHEIGHT = 0x00100000;
    public static final int DM_DISPLAYFLAGS = 0x00200000;
    public static final int DM_DISPLAYFREQUENCY = 0x00400000;

    private int _fields;
    private int _bitsPerPel;
    private int _pelsWidth;
    private int _pelsHeight;
    private int _displayFlags;
    private int _displayFrequency;

    public DeviceMode() {
    }

    /** A mode of the given width and height in pixels. */
    public DeviceMode(int pelsWidth, int pelsHeight) {
        setPelsWidth(pelsWidth);
        setPelsHeight(pelsHeight);
    }

    public int getFields() {
        return _fields;
    }

    /** Replaces the fields mask as a whole. */
    public void setFields(int fields) {
        _fields = fields;
    }

    public int getBitsPerPel() {
        return _bitsPerPel;
    }

    public void setBitsPerPel(int bitsPerPel) {
        _bitsPerPel = bitsPerPel;
        _fields |= DM_BITSPERPEL;
    }

    public int getPelsWidth() {
        return _pelsWidth;
    }

    public void setPelsWidth(int pelsWidth) {
        _pelsWidth = pelsWidth;
        _fields |= DM_PELSWIDTH;
    }

    public int getPelsHeight() {
        return _pelsHeight;
    }

    public void setPelsHeight(int pelsHeight) {
        _pelsHeight = pelsHeight;
        _fields |= DM_PELSHEIGHT;
    }

    public int getDisplayFlags() {
        return _displayFlags;
    }

    public void setDisplayFlags(int displayFlags) {
        _displayFlags = displayFlags;
        _fields |= DM_DISPLAYFLAGS;
    }

    public int getDisplayFrequency() {
        return _displayFrequency;
    }

    public void setDisplayFrequency(int displayFrequency) {
        _displayFrequency = displayFrequency;
        _fields |= DM_DISPLAYFREQUENCY;
    }
}
