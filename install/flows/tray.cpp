// The tray companion: registering and starting it, and stopping and unregistering it.
#include "flows/tray.h"

#include <stdio.h>
#include <string.h>
#include <userenv.h>
#include <wchar.h>
#include <wtsapi32.h>

#include "services/file_copy.h"
#include "services/folder_security.h"
#include "setup_log.h"
#include "setup_record.h"

// The companion gets 20 passes to quit: each a 5000 ms wait on its mutex once it was asked,
// or a 250 ms pause while its window has not shown up.
static const int TRAY_QUIT_PASSES = 20;
static const DWORD TRAY_MUTEX_WAIT_MS = 5000;
static const DWORD TRAY_WINDOW_PAUSE_MS = 250;
static const DWORD TRAY_MISSING_VALUE_PAUSE_MS = 1000;
// The command line holds the quoted path: at most 259 characters of it.
static const size_t TRAY_MAX_PATH_CHARS = 259;
// The tool's own "removetray" in the console session may wait out a companion that does not
// quit (about 105 s) and a missing Run value (1 s): it is given 120 s.
static const DWORD TRAY_SESSION_REMOVAL_WAIT_MS = 120000;
// What WTSGetActiveConsoleSessionId answers while no session is attached to the console.
static const DWORD NO_CONSOLE_SESSION = 0xFFFFFFFF;

bool MayRunAsLocalSystem()
{
    TokenUserBuffer buffer;
    PSID user = ProcessUser(&buffer);
    return !user || IsWellKnownSid(user, WinLocalSystemSid);
}

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

// The quoted program path and what follows it: room for the longest path and a command word.
static const size_t TRAY_COMMAND_LINE_CHARS = SETUP_PATH_BUFFER + 16;

// `"path"` and `tail` into `commandLine`. False for a path longer than TRAY_MAX_PATH_CHARS: it
// would be cut into another program's name, so nothing is started.
static bool QuotedCommandLine(const WCHAR *path, const WCHAR *tail,
                              WCHAR (&commandLine)[TRAY_COMMAND_LINE_CHARS])
{
    size_t length = wcslen(path);
    if (length > TRAY_MAX_PATH_CHARS || wcslen(tail) + length + 3 > TRAY_COMMAND_LINE_CHARS)
        return false;
    _snwprintf(commandLine, TRAY_COMMAND_LINE_CHARS, L"\"%s\"%s", path, tail);
    return true;
}

// The interactive desktop of a session, where its user's windows are.
static WCHAR g_userDesktop[] = L"winsta0\\default";

// Enables SeImpersonatePrivilege in the tool's token, which CreateProcessWithTokenW needs;
// administrators hold it, disabled.
static bool EnableImpersonatePrivilege()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD error = ERROR_SUCCESS;
    // AdjustTokenPrivileges succeeds for a privilege the token lacks, with ERROR_NOT_ALL_ASSIGNED.
    if (!LookupPrivilegeValueW(NULL, SE_IMPERSONATE_NAME, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) ||
        GetLastError() != ERROR_SUCCESS)
        error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// A primary token of the user whose shell owns `shell`, when that shell runs in the tool's own
// session; null otherwise. The window and its process are another program's: each step may
// fail, and then there is no token.
static HANDLE ShellUserToken(HWND shell)
{
    DWORD shellProcessId = 0, shellSession = 0, ownSession = 0;
    if (!GetWindowThreadProcessId(shell, &shellProcessId) || shellProcessId == 0)
        return NULL;
    if (!ProcessIdToSessionId(shellProcessId, &shellSession) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &ownSession) || shellSession != ownSession) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellProcessId);
    if (!process)
        return NULL;
    HANDLE token = NULL, primary = NULL;
    if (OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &token)) {
        if (!DuplicateTokenEx(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, NULL,
                              SecurityImpersonation, TokenPrimary, &primary))
            primary = NULL;
        CloseHandle(token);
    }
    CloseHandle(process);
    return primary;
}

// An elevated tool starts the companion as the user whose shell runs on its desktop, with that
// shell's own (unelevated) token: an elevated companion would hand its rights to whatever it
// opens. Without a usable shell the companion is not started; the Run value starts it at the
// next logon.
static bool StartAsShellUser(SetupContext *context, const WCHAR *path, WCHAR *commandLine,
                             STARTUPINFOW *startup, PROCESS_INFORMATION *process)
{
    HWND shell = GetShellWindow();
    if (!shell) {
        LogLine(context, L"The tray companion is not started: no user's shell runs on this "
                         L"desktop; it starts at the next logon");
        return false;
    }
    HANDLE token = ShellUserToken(shell);
    if (!token) {
        LogLine(context,
                L"The tray companion is not started: the shell's token could not be "
                L"taken (%d); it starts at the next logon",
                (int)GetLastError());
        return false;
    }
    bool started = false;
    if (!EnableImpersonatePrivilege())
        LogLine(context,
                L"The tray companion is not started: the tool may not start programs "
                L"as another user (%d); it starts at the next logon",
                (int)GetLastError());
    else
        started = CreateProcessWithTokenW(token, 0, path, commandLine, NORMAL_PRIORITY_CLASS, NULL,
                                          NULL, startup, process) != FALSE;
    CloseHandle(token);
    return started;
}

// LocalSystem starts the companion on the console session's desktop as that session's user.
// With nobody logged on there, the Run value starts it at the next logon.
static bool StartAsConsoleUser(SetupContext *context, const WCHAR *path, WCHAR *commandLine,
                               STARTUPINFOW *startup, PROCESS_INFORMATION *process)
{
    DWORD session = WTSGetActiveConsoleSessionId();
    HANDLE token = NULL;
    if (session == NO_CONSOLE_SESSION || !WTSQueryUserToken(session, &token)) {
        LogLine(context, L"The tray companion is not started: no user is logged on at the "
                         L"console; it starts at the next logon");
        return false;
    }
    // CreateProcessAsUserW would hand on LocalSystem's own environment (its profile, its
    // temporary folder): the companion gets its user's.
    void *environment = NULL;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) {
        LogLine(context,
                L"The tray companion is not started: the console user's environment "
                L"could not be made (%d); it starts at the next logon",
                (int)GetLastError());
        CloseHandle(token);
        return false;
    }
    startup->lpDesktop = g_userDesktop;
    bool started = CreateProcessAsUserW(token, path, commandLine, NULL, NULL, FALSE,
                                        NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT,
                                        environment, NULL, startup, process) != FALSE;
    DestroyEnvironmentBlock(environment);
    CloseHandle(token);
    return started;
}

// True when the companion's process was created. It never runs with the tool's own token.
static bool StartCompanion(SetupContext *context, const WCHAR *path)
{
    WCHAR commandLine[TRAY_COMMAND_LINE_CHARS];
    if (!QuotedCommandLine(path, L"", commandLine))
        return false;

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process;
    // The full path as the program's name: no search of the current folder or the search path.
    bool started = MayRunAsLocalSystem()
                       ? StartAsConsoleUser(context, path, commandLine, &startup, &process)
                       : StartAsShellUser(context, path, commandLine, &startup, &process);
    if (!started)
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
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

// The console's session when the companion may run there out of this tool's reach: the tool
// runs as LocalSystem in another session (a service's), where the companion's mutex and window
// are not seen. NO_CONSOLE_SESSION otherwise.
static DWORD SessionOutOfReach()
{
    if (!MayRunAsLocalSystem())
        return NO_CONSOLE_SESSION;
    DWORD console = WTSGetActiveConsoleSessionId();
    DWORD own = 0;
    if (console == NO_CONSOLE_SESSION || !ProcessIdToSessionId(GetCurrentProcessId(), &own) ||
        own == console)
        return NO_CONSOLE_SESSION;
    return console;
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

// Runs the tool's own silent "removetray" in `session`, as LocalSystem there (a copy of the
// tool's token moved to that session: the tool's manifest asks for elevation, so no user's token
// could start it), and waits for it within its bound. Nothing is started from a folder that
// others can change.
static void RemoveTrayInSession(DWORD session)
{
    WCHAR tool[SETUP_PATH_BUFFER];
    WCHAR commandLine[TRAY_COMMAND_LINE_CHARS];
    // A name that fills the buffer is cut, and too long for the command line as well.
    if (GetModuleFileNameW(NULL, tool, SETUP_PATH_BUFFER) == 0 ||
        !QuotedCommandLine(tool, L" removetray", commandLine))
        return;
    // Started again by its path, as LocalSystem on the user's desktop: only from folders that
    // no one else can change, where that path still names this program.
    CountedString folder = NULL;
    DirectoryWithSeparator(&folder, tool);
    bool trusted = FolderAndParentTrusted(StringText(folder));
    FreeString(&folder);
    if (!trusted)
        return;

    HANDLE own = NULL, copy = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &own))
        return;
    BOOL made = DuplicateTokenEx(own,
                                 TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                                     TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                                 NULL, SecurityImpersonation, TokenPrimary, &copy);
    CloseHandle(own);
    if (!made)
        return;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpDesktop = g_userDesktop;
    PROCESS_INFORMATION process;
    if (SetTokenInformation(copy, TokenSessionId, &session, sizeof(session)) &&
        CreateProcessAsUserW(copy, tool, commandLine, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS,
                             NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, TRAY_SESSION_REMOVAL_WAIT_MS);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(copy);
}

bool RemoveTray(const WCHAR *keepPath)
{
    // The quit request reaches only the companion of this session. A LocalSystem tool has it
    // made in the console's session too, with the Run value held back meanwhile: which file to
    // keep is known to this run only.
    RunValueRead value;
    bool taken = false;
    DWORD session = SessionOutOfReach();
    if (session != NO_CONSOLE_SESSION) {
        taken = TakeRunValue(&value);
        if (taken)
            RemoveTrayInSession(session);
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
