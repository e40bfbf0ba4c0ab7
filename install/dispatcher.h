// The tool's command line: its exit codes and the call that runs it; the log window's dialog.
#pragma once

#include <windows.h>

// Exit codes the callers read.
enum {
    EXIT_INSTALLED = 1,
    EXIT_UNINSTALLED = 2,
    EXIT_PROBE_FALSE = 3,
    EXIT_DEFAULT_SET = 4,
    EXIT_NO_COMMAND = 6,
    EXIT_ERRORS = 100,
    EXIT_REBOOT_NEEDED = 101,
    EXIT_DEFAULT_FOREIGN = 102,
    EXIT_DRIVER_CURRENT = 103,
    EXIT_PENDING_FILES = 200,
};

// The caller's third element that asks for no log window at all, whatever happens: a caller
// that runs silently, where a window would wait for a click no one gives. Any other third
// element is the decimal handle of the window that owns the log window.
const WCHAR NO_WINDOW_WORD[] = L"nowindow";

// Splits a command line and runs its command; returns the exit code.
int RunCommandLine(const WCHAR *commandLine);

// The log window's dialog procedure; its parameter is the SetupContext whose log it shows.
INT_PTR CALLBACK LogDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
