// Functions of dispatcher that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

#include "dispatcher.h"

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

SetupCommand ClassifyCommand(const WCHAR *word);
// The caller's window from a decimal argument (wcstol rules, 32-bit), or null unless IsWindow
// accepts it.
HWND ParseParentWindow(const WCHAR *text);
// The third element: false for NO_WINDOW_WORD (ASCII letters folded), which asks for no log
// window; otherwise true, with the window it names (ParseParentWindow) in `owner`.
bool ReadCallerWindow(const WCHAR *text, HWND *owner);

// Runs the command of a split command line; returns the exit code.
int RunCommand(int argc, WCHAR **argv);
// Installs, with or without the tray program; returns the exit code. Without `logWindow` the
// log window never opens.
int RunInstallCommand(HWND parent, bool withTray, bool logWindow = true);

// Asks open help windows to close, for about 5 s at most.
void CloseHelpWindows();
// Opens the modal log window when an error was reported or Shift is held, on a visible window
// station only.
void ShowLogWindowIfNeeded(SetupContext *context, HWND parent);
