package com.corvantis.windows.process;

import com.corvantis.windows.WindowsHandle;

/**
 * Start-up description of a new process, read into a Windows STARTUPINFOW.
 * Fields carry the Windows values unchanged; null strings and handles mean none.
 */
public class StartupInfo {
    /** dwFlags bit: showWindow is used. */
    public static final int STARTF_USESHOWWINDOW = 0x1;
    /** dwFlags bit: stdInput, stdOutput and stdError are used. */
    public static final int STARTF_USESTDHANDLES = 0x100;

    public String desktop;
    public String title;
    public int x;
    public int y;
    public int xCountChars;
    public int yCountChars;
    public int fillAttribute;
    public int dwFlags;
    public short showWindow;
    public WindowsHandle stdInput;
    public WindowsHandle stdOutput;
    public WindowsHandle stdError;
}
