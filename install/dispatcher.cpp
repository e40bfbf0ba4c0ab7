// The entry point's work: one command word, one command, one exit code.
#include "dispatcher.h"
#include "dispatcher_internal.h"

#include <shellapi.h>
#include <stdlib.h>

#include "flows/probes.h"
#include "flows/sequences.h"
#include "flows/tray.h"
#include "services/file_copy.h"
#include "setup_context.h"
#include "setup_log.h"
#include "support_log.h"
#include "res/resource.h"

// A help window that ignores SC_CLOSE must not hold the install forever: about 5 s in all.
static const int HELP_CLOSE_ROUNDS = 100;
static const DWORD HELP_CLOSE_WAIT_MS = 50;

SetupCommand ClassifyCommand(const WCHAR *word)
{
    if (!word)
        return COMMAND_NONE;
    if (EqualFoldingAscii(word, L"onChkDrv"))
        return COMMAND_CHECK_DRIVER;
    if (EqualFoldingAscii(word, L"onInit"))
        return COMMAND_ON_INIT;
    if (EqualFoldingAscii(word, L"un") || EqualFoldingAscii(word, L"uninstall"))
        return COMMAND_UNINSTALL;
    if (EqualFoldingAscii(word, L"removetray"))
        return COMMAND_REMOVE_TRAY;
    if (EqualFoldingAscii(word, L"in") || EqualFoldingAscii(word, L"install") ||
        EqualFoldingAscii(word, L"serverinstall"))
        return COMMAND_INSTALL;
    if (EqualFoldingAscii(word, L"in_notray"))
        return COMMAND_INSTALL_NO_TRAY;
    if (wcscmp(word, L"def.set") == 0)
        return COMMAND_SET_DEFAULT;
    return COMMAND_NONE;
}

HWND ParseParentWindow(const WCHAR *text)
{
    // wcstol saturates at the 32-bit limits; the value is sign-extended to a handle.
    LONG value = wcstol(text, NULL, 10);
    HWND window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(value));
    return IsWindow(window) ? window : NULL;
}

bool ReadCallerWindow(const WCHAR *text, HWND *owner)
{
    *owner = NULL;
    if (EqualFoldingAscii(text, NO_WINDOW_WORD))
        return false;
    *owner = ParseParentWindow(text);
    return true;
}

void CloseHelpWindows()
{
    for (int round = 0; round < HELP_CLOSE_ROUNDS; round++) {
        HWND help = FindWindowW(HELP_WINDOW_CLASS, HELP_WINDOW_TITLE);
        if (!help)
            return;
        PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(HELP_CLOSE_WAIT_MS);
    }
}

// Whether this process's window station is one a user sees, not a service's; when it cannot
// be told, the answer is no: a window no one sees would hold the command for good.
static bool OnVisibleWindowStation()
{
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
        return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void ShowLogWindowIfNeeded(SetupContext *context, HWND parent)
{
    bool show = context->errorCount != 0 || (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
    // Where no one can see the window no one can close it: the command would never end. A
    // LocalSystem window on a user's desktop would hand that user LocalSystem's rights.
    if (show && OnVisibleWindowStation() && !MayRunAsLocalSystem())
        DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_LOG), parent, LogDialogProc,
                        reinterpret_cast<LPARAM>(context));
}

// An error report outweighs a file left for the reboot.
static int CommandExitCode(bool errors, DWORD scheduled, int done)
{
    if (errors)
        return EXIT_ERRORS;
    return scheduled != 0 ? EXIT_REBOOT_NEEDED : done;
}

// The end of an install or uninstall: files left for the reboot, the exit code, the support log
// and, unless the caller asked for none, the log window. Returns the exit code.
static int FinishCommand(SetupContext *context, HWND parent, bool logWindow, int done)
{
    DWORD scheduled = ScheduleDeletesAtReboot(context);
    int code = CommandExitCode(context->errorCount != 0, scheduled, done);
    WriteSupportLog(context, code);
    if (logWindow)
        ShowLogWindowIfNeeded(context, parent);
    return code;
}

int RunInstallCommand(HWND parent, bool withTray, bool logWindow)
{
    CloseHelpWindows();
    SetupContext context;
    InitSetupContext(&context, withTray ? SETUP_X64 : SETUP_X64 | SETUP_NO_TRAY);
    LogLine(&context, LOG_MARK_INSTALL_START);
    ReInstall(&context);
    int code = FinishCommand(&context, parent, logWindow, EXIT_INSTALLED);
    // Written after the window closed: the window never shows it.
    LogLine(&context, LOG_MARK_INSTALL_END);
    FreeSetupContext(&context);
    return code;
}

// Uninstalls; returns the exit code.
static int RunUninstallCommand(HWND parent, bool logWindow)
{
    CloseHelpWindows();
    SetupContext context;
    InitSetupContext(&context, SETUP_X64);
    FullUninstall(&context);
    int code = FinishCommand(&context, parent, logWindow, EXIT_UNINSTALLED);
    FreeSetupContext(&context);
    return code;
}

int RunCommand(int argc, WCHAR **argv)
{
    if (argc < 2)
        return EXIT_NO_COMMAND;
    HWND parent = NULL;
    bool logWindow = argc == 3 ? ReadCallerWindow(argv[2], &parent) : true;

    switch (ClassifyCommand(argv[1])) {
    case COMMAND_NONE:
        return EXIT_NO_COMMAND;
    case COMMAND_CHECK_DRIVER:
        return IsDriverCurrent() ? EXIT_DRIVER_CURRENT : EXIT_PROBE_FALSE;
    case COMMAND_ON_INIT:
        if (HasPendingProductFiles())
            return EXIT_PENDING_FILES;
        return IsDefaultPrinterForeign() ? EXIT_DEFAULT_FOREIGN : EXIT_PROBE_FALSE;
    case COMMAND_REMOVE_TRAY:
        RemoveTray(NULL);
        return EXIT_NO_COMMAND;
    case COMMAND_UNINSTALL:
        return RunUninstallCommand(parent, logWindow);
    case COMMAND_INSTALL:
        return RunInstallCommand(parent, true, logWindow);
    case COMMAND_INSTALL_NO_TRAY:
        return RunInstallCommand(parent, false, logWindow);
    case COMMAND_SET_DEFAULT:
        MakeProductPrinterDefault();
        return EXIT_DEFAULT_SET;
    }
    return EXIT_NO_COMMAND;
}

int RunCommandLine(const WCHAR *commandLine)
{
    int argc = 0;
    WCHAR **argv = CommandLineToArgvW(commandLine, &argc);
    // A command line that cannot be split names no command.
    if (!argv)
        return EXIT_NO_COMMAND;
    int code = RunCommand(argc, argv);
    LocalFree(argv);
    return code;
}
