package com.quillstone.velaro.server;

import com.corvantis.process.WindowsProcess;
import com.corvantis.windows.process.StartupInfo;

/**
 * Facts about the running process and the machine, and process creation.
 * Windows failures are raised as {@link CodedSystemException}.
 */
public final class WindowsSystem {
    /** dwCreationFlags bit that the native side always adds: the environment is UTF-16. */
    public static final int CREATE_UNICODE_ENVIRONMENT = 0x400;

    private WindowsSystem() {
    }

    /** The calling process; its handle is the current-process pseudo-handle. */
    public static native WindowsProcess getCurrentProcess();

    /** Opens a process by id with OpenProcess and the given access mask. */
    public static native WindowsProcess getProcessById(int processId, int desiredAccess);

    /** The process command line, whole, as Windows holds it. */
    public static native String getCommandLine();

    /** Splits a command line by CommandLineToArgvW's rules. */
    public static native String[] parseCommandLineArguments(String commandLine);

    public static native int getProcessorCount();

    /** Expands %NAME% references with the process environment. */
    public static native String expandEnvironmentString(String text);

    /**
     * Starts a program with CreateProcessW.
     *
     * @param environment entries "name=value", each followed by a NUL character;
     *        null inherits the caller's environment
     * @param startupInfo null for an all-zero start-up description
     */
    public static native WindowsProcess CreateProcess(String applicationName, String commandLine,
            boolean inheritHandles, int creationFlags, String environment, String currentDirectory,
            StartupInfo startupInfo);

    /**
     * Starts a program under another account with CreateProcessWithLogonW.
     *
     * @param password the password followed by a NUL character; the native side never
     *        writes the array, and zeroes the copy the virtual machine makes of it
     * @throws IllegalArgumentException if the password holds no NUL character
     */
    public static native WindowsProcess CreateProcessWithLogon(String userName, String domain, char[] password,
            int logonFlags, String applicationName, String commandLine, int creationFlags, String environment,
            String currentDirectory, StartupInfo startupInfo);
}
