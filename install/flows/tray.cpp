// The tray companion: registering and starting it, and stopping and unregistering it.
#include "flows/tray.h"

#include <string.h>

#include "services/desktop_user.h"
#include "services/file_copy.h"
#include "setup_log.h"
#include "setup_record.h"

// The companion gets 20 passes to quit: each a 5000 ms wait on its mutex once it was asked,
// or a 250 ms pause while its window has not shown up.
static const int TRAY_QUIT_PASSES = 20;
static const DWORD TRAY_MUTEX_WAIT_MS = 5000;
static const DWORD TRAY_WINDOW_PAUSE_MS = 250;
static const DWORD TRAY_MISSING_VALUE_PAUSE_MS = 1000;
// The tool's own "removetray" in the console session may wait out a companion that does not
// quit (about 105 s) and a missing Run value (1 s): it is given 120 s.
static const DWORD TRAY_SESSION_REMOVAL_WAIT_MS = 120000;

static bool IsSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/';
}

void TrayCompanionPath(const SetupContext *context, CountedString *path)
{
    CountedString dir = NULL;
    Assign(&dir, StringText(context->moduleDir));
    size_t length = StringLength(dir);
    if (length > 0 && IsSeparator(dir->text[length - 1]))
        SetLength(&dir, length - 1);
    ParentDirectory(&dir, dir);
    length = StringLength(dir);
    if (length > 0 && !IsSeparator(dir->text[length - 1]))
        Append(&dir, L"\\");
    Append(&dir, TRAY_FILE_NAME);
    FreeString(path);
    *path = dir;
}

bool TrayWillBeRegistered(const SetupContext *context)
{
    if (!context->installTray)
        return false;
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

// True when the companion's process was created, as the desktop's user; otherwise the log says
// why none was, when there is a reason beyond a failed start.
static bool StartCompanion(SetupContext *context, const WCHAR *path)
{
    WCHAR commandLine[COMMAND_LINE_CHARS];
    if (!QuotedCommandLine(path, L"", commandLine))
        return false;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    WCHAR why[START_REFUSAL_CHARS];
    if (StartAsDesktopUser(path, commandLine, &startup, why))
        return true;
    if (why[0])
        LogLine(context, L"The tray companion is not started: %s; it starts at the next logon",
                why);
    return false;
}

// True when the Run key opened and took the value naming `path`.
static bool WriteRunValue(CountedString path)
{
    HKEY run;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY, 0, KEY_ALL_ACCESS, &run) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(run, TRAY_RUN_VALUE_W, 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(StringText(path)),
                                 (DWORD)(2 * (StringLength(path) + 1)));
    RegCloseKey(run);
    return status == ERROR_SUCCESS;
}

bool RegisterTray(SetupContext *context)
{
    if (!TrayWillBeRegistered(context))
        return true;
    CountedString path = NULL;
    TrayCompanionPath(context, &path);
    bool ok = false;
    // With the tool at a drive root, or without its folder, the path is the bare file name:
    // every user's logon would run whatever their search path finds under it.
    if (IsPlainAbsolutePath(StringText(path))) {
        bool written = WriteRunValue(path);
        bool started = StartCompanion(context, StringText(path));
        ok = written && started;
    }
    FreeString(&path);
    return ok;
}

// Whether a wait on the companion's mutex took it: the companion let go of it or ended.
static bool TookMutex(DWORD waitResult)
{
    return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED;
}

// Waits for the companion's mutex; an owned mutex is released at once, so that the tool
// never holds the companion's single-instance lock.
static DWORD WaitForCompanion(HANDLE mutex)
{
    DWORD result = WaitForSingleObject(mutex, TRAY_MUTEX_WAIT_MS);
    if (TookMutex(result))
        ReleaseMutex(mutex);
    return result;
}

// Posts the quit message while the companion's window shows, and waits for its mutex. True when
// the companion, once asked, let go of the mutex.
static bool AskCompanionToQuit(HANDLE mutex)
{
    bool posted = false;
    for (int pass = 0; pass < TRAY_QUIT_PASSES; pass++) {
        HWND window = FindWindowW(TRAY_WINDOW_CLASS, NULL);
        if (window) {
            PostMessageW(window, TRAY_QUIT_MESSAGE, 0, 0);
            posted = true;
            if (WaitForCompanion(mutex) == WAIT_OBJECT_0)
                return true;
        } else if (posted) {
            return TookMutex(WaitForCompanion(mutex));
        } else {
            Sleep(TRAY_WINDOW_PAUSE_MS);
        }
    }
    return posted && TookMutex(WaitForCompanion(mutex));
}

// What became of the companion once the tool asked it to quit.
enum CompanionState {
    COMPANION_UNKNOWN, // its mutex could not be made: whether it runs cannot be told
    COMPANION_GONE,    // it was not running, or it quit when asked
    COMPANION_RUNNING, // it was asked and did not let go of its mutex
};

// Asks a running companion, the one holding the mutex, to quit.
static CompanionState StopCompanion()
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, TRAY_MUTEX_NAME);
    if (!mutex)
        return COMPANION_UNKNOWN;
    CompanionState state = COMPANION_GONE;
    if (GetLastError() == ERROR_ALREADY_EXISTS && !AskCompanionToQuit(mutex))
        state = COMPANION_RUNNING;
    CloseHandle(mutex);
    return state;
}

// The elevated tool deletes what a registry value names: only the companion's own file, named
// by a plain absolute path.
static bool IsCompanionFile(const WCHAR *path)
{
    return IsPlainAbsolutePath(path) && EqualFoldingAscii(FileNamePart(path), TRAY_FILE_NAME);
}

// True when the file is gone: deleted, or not there at all.
static bool DeleteCompanionFile(const WCHAR *path)
{
    for (int attempt = 0; attempt < TRAY_DELETE_ATTEMPTS; attempt++) {
        if (DeleteOwnFile(path))
            return true;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return true;
        Sleep(error == ERROR_ACCESS_DENIED ? TRAY_DELETE_HELD_PAUSE_MS
                                           : TRAY_DELETE_OTHER_PAUSE_MS);
    }
    return false;
}

// The Run value as read: its status, type and text.
struct RunValueRead {
    LONG status;
    DWORD type;
    // One character more than the value may fill keeps an unterminated value terminated.
    WCHAR path[SETUP_PATH_BUFFER + 1];
};

static void ReadRunValue(HKEY run, RunValueRead *value)
{
    memset(value->path, 0, sizeof(value->path));
    value->type = 0;
    DWORD size = SETUP_PATH_BUFFER * sizeof(WCHAR);
    value->status = RegQueryValueExW(run, TRAY_RUN_VALUE_W, NULL, &value->type,
                                     reinterpret_cast<BYTE *>(value->path), &size);
}

// Deletes the companion file that the Run value named, unless it is `keepPath`. False only when
// that file stays after every attempt; a value that names no companion file deletes nothing.
static bool DeleteRegisteredCompanionFile(const RunValueRead *value, const WCHAR *keepPath)
{
    if (value->status != ERROR_SUCCESS) {
        Sleep(TRAY_MISSING_VALUE_PAUSE_MS);
        return true;
    }
    const WCHAR *path = value->path;
    if (value->type == REG_SZ && path[0] && IsCompanionFile(path) &&
        !(keepPath && EqualFoldingAscii(path, keepPath)))
        return DeleteCompanionFile(path);
    return true;
}

// Takes the Run value out of the registry into `value`. True when no value is left for another
// run of the tool to act on.
static bool TakeRunValue(RunValueRead *value)
{
    HKEY run;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY, 0, KEY_ALL_ACCESS, &run) != ERROR_SUCCESS)
        return false;
    ReadRunValue(run, value);
    LONG status = RegDeleteValueA(run, TRAY_RUN_VALUE);
    RegCloseKey(run);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool RemoveTray(const WCHAR *keepPath)
{
    // The quit request reaches only the companion of this session. A LocalSystem tool has it
    // made in the console's session too, with the Run value held back meanwhile: which file to
    // keep is known to this run only.
    RunValueRead value;
    bool taken = false;
    DWORD session = ConsoleSessionOutOfReach();
    if (session != NO_CONSOLE_SESSION) {
        taken = TakeRunValue(&value);
        if (taken)
            RunToolInSession(session, L"removetray", TRAY_SESSION_REMOVAL_WAIT_MS);
    }
    CompanionState companion = StopCompanion();
    HKEY run;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY, 0, KEY_ALL_ACCESS, &run) != ERROR_SUCCESS)
        return false;
    // Without the mutex the companion may still run from its file: the file stays.
    bool fileGone = true;
    if (companion != COMPANION_UNKNOWN) {
        if (!taken)
            ReadRunValue(run, &value);
        fileGone = DeleteRegisteredCompanionFile(&value, keepPath);
    }
    LONG status = RegDeleteValueA(run, TRAY_RUN_VALUE);
    RegCloseKey(run);
    bool valueGone = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    return companion == COMPANION_GONE && fileGone && valueGone;
}
