// Starting a program as the user of a desktop, never with the tool's own token.
//
// The tool runs elevated, or as LocalSystem: a program started with its token would hand those
// rights to whatever it opens on a user's desktop. The shell window and its process are another
// program's: every step of reading them may fail or be lied to, and then nothing starts.
#include "services/desktop_user.h"

#include <stdio.h>
#include <string.h>
#include <userenv.h>
#include <wchar.h>
#include <wtsapi32.h>

#include "counted_string.h"
#include "services/folder_security.h"

// The command line holds the quoted path: at most 259 characters of it.
static const size_t MAX_PROGRAM_PATH_CHARS = 259;

// The interactive desktop of a session, where its user's windows are.
static WCHAR g_userDesktop[] = L"winsta0\\default";

bool MayRunAsLocalSystem()
{
    TokenUserBuffer buffer;
    PSID user = ProcessUser(&buffer);
    return !user || IsWellKnownSid(user, WinLocalSystemSid);
}

bool QuotedCommandLine(const WCHAR *path, const WCHAR *tail,
                       WCHAR (&commandLine)[COMMAND_LINE_CHARS])
{
    size_t length = wcslen(path);
    if (length > MAX_PROGRAM_PATH_CHARS || wcslen(tail) + length + 3 > COMMAND_LINE_CHARS)
        return false;
    _snwprintf(commandLine, COMMAND_LINE_CHARS, L"\"%s\"%s", path, tail);
    return true;
}

static void Refuse(WCHAR *why, const WCHAR *format, DWORD error = 0)
{
    _snwprintf(why, START_REFUSAL_CHARS, format, (int)error);
    why[START_REFUSAL_CHARS - 1] = 0;
}

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

// Whether `user` is the user logged on in `session`, as the session names it.
static bool IsSessionUser(DWORD session, PSID user)
{
    LPWSTR name = NULL, domain = NULL;
    DWORD bytes = 0;
    bool same = false;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name,
                                    &bytes) &&
        WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSDomainName, &domain,
                                    &bytes) &&
        name && name[0]) {
        WCHAR account[2 * 256 + 2];
        _snwprintf(account, 2 * 256 + 2, L"%s%s%s", domain ? domain : L"",
                   domain && domain[0] ? L"\\" : L"", name);
        account[2 * 256 + 1] = 0;
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof(sid);
        WCHAR foundDomain[256];
        DWORD foundChars = 256;
        SID_NAME_USE use;
        same = LookupAccountNameW(NULL, account, sid, &sidSize, foundDomain, &foundChars, &use) &&
               EqualSid(sid, user);
    }
    if (name)
        WTSFreeMemory(name);
    if (domain)
        WTSFreeMemory(domain);
    return same;
}

// Why the token `token` of the shell in `session` is not one to start a user's program with;
// null when it is: unelevated, and of the session's own user.
static const WCHAR *UnfitShellToken(HANDLE token, DWORD session)
{
    TOKEN_ELEVATION elevation = {};
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &needed))
        return L"the shell's elevation could not be read (%d)";
    if (elevation.TokenIsElevated)
        return L"the shell runs elevated";
    TokenUserBuffer user;
    if (!GetTokenInformation(token, TokenUser, &user, sizeof(user), &needed))
        return L"the shell's user could not be read (%d)";
    if (!IsSessionUser(session, user.user.User.Sid))
        return L"the shell runs as another user than the session's";
    return NULL;
}

// A primary token of the user whose shell owns `shell`, when that shell runs unelevated in the
// tool's own session as that session's user; null with `why` otherwise.
static HANDLE ShellUserToken(HWND shell, WCHAR *why)
{
    DWORD shellProcessId = 0, shellSession = 0, ownSession = 0;
    if (!GetWindowThreadProcessId(shell, &shellProcessId) || shellProcessId == 0) {
        Refuse(why, L"the shell's token could not be taken (%d)", GetLastError());
        return NULL;
    }
    if (!ProcessIdToSessionId(shellProcessId, &shellSession) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &ownSession) || shellSession != ownSession) {
        Refuse(why, L"the shell's token could not be taken (%d)", ERROR_ACCESS_DENIED);
        return NULL;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellProcessId);
    if (!process) {
        Refuse(why, L"the shell's token could not be taken (%d)", GetLastError());
        return NULL;
    }
    // The id may have been another process's until the handle held it: only when the shell
    // window is still this process's is the handle the shell's.
    DWORD ownerNow = 0;
    if (GetShellWindow() != shell || !GetWindowThreadProcessId(shell, &ownerNow) ||
        ownerNow != shellProcessId) {
        CloseHandle(process);
        Refuse(why, L"the shell's window changed hands while it was read");
        return NULL;
    }
    HANDLE token = NULL, primary = NULL;
    if (!OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &token)) {
        Refuse(why, L"the shell's token could not be taken (%d)", GetLastError());
    } else {
        const WCHAR *unfit = UnfitShellToken(token, shellSession);
        if (unfit)
            Refuse(why, unfit, GetLastError());
        else if (!DuplicateTokenEx(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY,
                                   NULL, SecurityImpersonation, TokenPrimary, &primary)) {
            Refuse(why, L"the shell's token could not be taken (%d)", GetLastError());
            primary = NULL;
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return primary;
}

// An elevated tool starts the program as the user whose shell runs on its desktop, with that
// shell's own unelevated token.
static bool StartAsShellUser(const WCHAR *path, WCHAR *commandLine, STARTUPINFOW *startup,
                             PROCESS_INFORMATION *process, WCHAR *why)
{
    HWND shell = GetShellWindow();
    if (!shell) {
        Refuse(why, L"no user's shell runs on this desktop");
        return false;
    }
    HANDLE token = ShellUserToken(shell, why);
    if (!token)
        return false;
    bool started = false;
    if (!EnableImpersonatePrivilege())
        Refuse(why, L"the tool may not start programs as another user (%d)", GetLastError());
    else
        started = CreateProcessWithTokenW(token, 0, path, commandLine, NORMAL_PRIORITY_CLASS, NULL,
                                          NULL, startup, process) != FALSE;
    CloseHandle(token);
    return started;
}

// LocalSystem starts the program on the console session's desktop as that session's user.
static bool StartAsConsoleUser(const WCHAR *path, WCHAR *commandLine, STARTUPINFOW *startup,
                               PROCESS_INFORMATION *process, WCHAR *why)
{
    DWORD session = WTSGetActiveConsoleSessionId();
    HANDLE token = NULL;
    if (session == NO_CONSOLE_SESSION || !WTSQueryUserToken(session, &token)) {
        Refuse(why, L"no user is logged on at the console");
        return false;
    }
    // CreateProcessAsUserW would hand on LocalSystem's own environment (its profile, its
    // temporary folder): the program gets its user's.
    void *environment = NULL;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) {
        Refuse(why, L"the console user's environment could not be made (%d)", GetLastError());
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

bool StartAsDesktopUser(const WCHAR *path, WCHAR *commandLine, STARTUPINFOW *startup, WCHAR *why)
{
    why[0] = 0;
    PROCESS_INFORMATION process;
    bool started = MayRunAsLocalSystem()
                       ? StartAsConsoleUser(path, commandLine, startup, &process, why)
                       : StartAsShellUser(path, commandLine, startup, &process, why);
    if (!started)
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

DWORD ConsoleSessionOutOfReach()
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

// The tool runs again as LocalSystem (a copy of its token moved to `session`): its manifest asks
// for elevation, so no user's token could start it.
void RunToolInSession(DWORD session, const WCHAR *word, DWORD waitMs)
{
    WCHAR tool[SETUP_PATH_BUFFER];
    WCHAR commandLine[COMMAND_LINE_CHARS];
    WCHAR tail[32];
    _snwprintf(tail, 32, L" %s", word);
    tail[31] = 0;
    // A name that fills the buffer is cut, and too long for the command line as well.
    if (GetModuleFileNameW(NULL, tool, SETUP_PATH_BUFFER) == 0 ||
        !QuotedCommandLine(tool, tail, commandLine))
        return;
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
        WaitForSingleObject(process.hProcess, waitMs);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(copy);
}
