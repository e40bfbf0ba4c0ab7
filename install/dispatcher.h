// The command words, their exit codes and the install and uninstall commands.
#pragma once

#include <windows.h>

struct SetupContext;

enum SetupCommand {
    COMMAND_NONE,
    COMMAND_INSTALL,
    COMMAND_INSTALL_NO_TRAY,
    COMMAND_UNINSTALL,
    COMMAND_REMOVE_TRAY,
    COMMAND_CHECK_DRIVER,
    COMMAND_ON_INIT,
    COMMAND_SET_DEFAULT,
};

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

SetupCommand ClassifyCommand(const WCHAR *word);
// The caller's window from a decimal argument (wcstol rules, 32-bit), or null unless IsWindow
// accepts it.
HWND ParseParentWindow(const WCHAR *text);

// Splits a command line and runs its command; returns the exit code.
int RunCommandLine(const WCHAR *commandLine);
int RunCommand(int argc, WCHAR **argv);

int RunInstallCommand(HWND parent, bool withTray);
// Returns whether an error report was written; `scheduled` receives the files left for reboot.
bool RunUninstallCommand(HWND parent, DWORD *scheduled);

void CloseHelpWindows();
// Opens the modal log window when an error was reported or Shift is held, on a visible window
// station only.
void ShowLogWindowIfNeeded(SetupContext *context, HWND parent);
INT_PTR CALLBACK LogDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
