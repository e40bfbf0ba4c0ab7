// A model of the sessions, shells and tokens that starting a program as the desktop's user reads.
#include "desktop_model.h"

#include <gtest/gtest.h>

#include <userenv.h>
#include <wtsapi32.h>

Sessions *sessions;

HANDLE Sessions::make(const std::wstring &label)
{
    HANDLE handle = CreateEventW(NULL, FALSE, FALSE, NULL); // any handle CloseHandle takes
    labels[handle] = label;
    return handle;
}

std::wstring Sessions::label(HANDLE handle) const
{
    auto found = labels.find(handle);
    return found == labels.end() ? L"the tool's token" : found->second;
}

std::vector<std::wstring> startedCommandLines, startedPrograms;

namespace {

BOOL RecordStart(const WCHAR *api, HANDLE token, LPCWSTR program, LPWSTR commandLine, DWORD flags,
                 LPVOID environment, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    startedCommandLines.push_back(commandLine);
    startedPrograms.push_back(program ? program : L"<none>");
    EXPECT_EQ((DWORD)NORMAL_PRIORITY_CLASS, flags & ~(DWORD)CREATE_UNICODE_ENVIRONMENT);
    if (sessions) {
        std::wstring who = token ? sessions->label(token) : L"<own>";
        auto moved = sessions->tokenSessions.find(token);
        if (moved != sessions->tokenSessions.end())
            who += L" in session " + std::to_wstring(moved->second);
        if (environment)
            who += L" with " + sessions->environments[environment] +
                   (flags & CREATE_UNICODE_ENVIRONMENT ? L"" : L" read as ANSI");
        sessions->starts.push_back(std::wstring(api) + L" as " + who + L" on " +
                                   (startup->lpDesktop ? startup->lpDesktop : L"<inherited>") +
                                   L": " + startedPrograms.back() + L" | " + commandLine);
        if (sessions->noteAtStart)
            sessions->notedAtStart.push_back(sessions->noteAtStart());
        if (sessions->startsSucceed) {
            process->hProcess = sessions->make(L"process");
            process->hThread = sessions->make(L"thread");
            return TRUE;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI RecordingCreateProcessW(LPCWSTR program, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                                    LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID environment,
                                    LPCWSTR, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    return RecordStart(L"CreateProcessW", NULL, program, commandLine, flags, environment, startup,
                       process);
}

BOOL WINAPI RecordingCreateProcessWithTokenW(HANDLE token, DWORD, LPCWSTR program,
                                             LPWSTR commandLine, DWORD flags, LPVOID environment,
                                             LPCWSTR, LPSTARTUPINFOW startup,
                                             LPPROCESS_INFORMATION process)
{
    return RecordStart(L"CreateProcessWithTokenW", token, program, commandLine, flags, environment,
                       startup, process);
}

BOOL WINAPI RecordingCreateProcessAsUserW(HANDLE token, LPCWSTR program, LPWSTR commandLine,
                                          LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                          DWORD flags, LPVOID environment, LPCWSTR,
                                          LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    return RecordStart(L"CreateProcessAsUserW", token, program, commandLine, flags, environment,
                       startup, process);
}

// The SID of the user this test runs as: the one Wine's session names.
bool SelfUser(PSID sid, DWORD size)
{
    HANDLE token = NULL;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD needed = 0;
    BOOL read = SYSTEM_FUNCTION("advapi32.dll", OpenProcessToken)(GetCurrentProcess(), TOKEN_QUERY,
                                                                  &token) &&
                SYSTEM_FUNCTION("advapi32.dll", GetTokenInformation)(token, TokenUser, &buffer,
                                                                     sizeof(buffer), &needed);
    if (token)
        CloseHandle(token);
    return read && CopySid(size, sid, buffer.user.User.Sid);
}

// The shell's token, and its copies: unelevated or not, of the session's user or of Users.
BOOL ShellTokenInformation(TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size, PDWORD needed)
{
    if (kind == TokenElevation) {
        EXPECT_GE(size, sizeof(TOKEN_ELEVATION));
        static_cast<TOKEN_ELEVATION *>(data)->TokenIsElevated = sessions->shellElevated;
        *needed = sizeof(TOKEN_ELEVATION);
        return TRUE;
    }
    EXPECT_EQ(TokenUser, kind);
    TOKEN_USER *user = static_cast<TOKEN_USER *>(data);
    DWORD sidSize = size - sizeof(TOKEN_USER);
    user->User.Sid = reinterpret_cast<BYTE *>(data) + sizeof(TOKEN_USER);
    user->User.Attributes = 0;
    *needed = size;
    if (sessions->shellIsSessionUser)
        return SelfUser(user->User.Sid, sidSize);
    return CreateWellKnownSid(WinBuiltinUsersSid, NULL, user->User.Sid, &sidSize);
}

BOOL WINAPI FakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data,
                                    DWORD size, PDWORD needed)
{
    if (sessions->label(token).find(L"shell token") != std::wstring::npos)
        return ShellTokenInformation(kind, data, size, needed);
    if (kind != TokenUser)
        return SYSTEM_FUNCTION("advapi32.dll", GetTokenInformation)(token, kind, data, size,
                                                                    needed);
    TOKEN_USER *user = static_cast<TOKEN_USER *>(data);
    DWORD sidSize = size - sizeof(TOKEN_USER);
    user->User.Sid = reinterpret_cast<BYTE *>(data) + sizeof(TOKEN_USER);
    user->User.Attributes = 0;
    *needed = size;
    return CreateWellKnownSid(sessions->localSystem ? WinLocalSystemSid
                                                    : WinBuiltinAdministratorsSid,
                              NULL, user->User.Sid, &sidSize);
}

HWND WINAPI FakeGetShellWindow()
{
    if (!sessions->shell)
        SetLastError(14007); // what Wine answers
    return sessions->shell;
}

DWORD WINAPI FakeGetWindowThreadProcessId(HWND window, LPDWORD processId)
{
    EXPECT_EQ(sessions->shell, window);
    *processId = sessions->shellOpened && sessions->shellChangesHands ? sessions->shellProcessId + 4
                                                                      : sessions->shellProcessId;
    return 77;
}

BOOL WINAPI FakeProcessIdToSessionId(DWORD processId, DWORD *session)
{
    if (processId == sessions->shellProcessId)
        *session = sessions->shellSession;
    else if (processId == GetCurrentProcessId())
        *session = sessions->ownSession;
    else
        return SYSTEM_FUNCTION("kernel32.dll", ProcessIdToSessionId)(processId, session);
    return TRUE;
}

HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    if (processId != sessions->shellProcessId)
        return SYSTEM_FUNCTION("kernel32.dll", OpenProcess)(access, inherit, processId);
    // The least right that reads a token: the shell may run with more rights than the tool.
    EXPECT_EQ((DWORD)PROCESS_QUERY_LIMITED_INFORMATION, access);
    if (sessions->shellProcessGone) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    sessions->shellOpened = true;
    return sessions->make(L"shell process");
}

BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    if (sessions->label(process) != L"shell process")
        return SYSTEM_FUNCTION("advapi32.dll", OpenProcessToken)(process, access, token);
    EXPECT_EQ((DWORD)(TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY), access);
    *token = sessions->make(L"shell token");
    return TRUE;
}

BOOL WINAPI FakeDuplicateTokenEx(HANDLE token, DWORD, LPSECURITY_ATTRIBUTES,
                                 SECURITY_IMPERSONATION_LEVEL, TOKEN_TYPE type, PHANDLE copy)
{
    *copy =
        sessions->make((type == TokenPrimary ? L"primary copy of " : L"impersonation copy of ") +
                       sessions->label(token));
    return TRUE;
}

BOOL WINAPI FakeSetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data,
                                    DWORD size)
{
    EXPECT_EQ(TokenSessionId, kind);
    EXPECT_EQ(sizeof(DWORD), size);
    sessions->tokenSessions[token] = *static_cast<DWORD *>(data);
    return TRUE;
}

BOOL WINAPI FakeAdjustTokenPrivileges(HANDLE, BOOL disableAll, PTOKEN_PRIVILEGES privileges, DWORD,
                                      PTOKEN_PRIVILEGES, PDWORD)
{
    LUID impersonate = {};
    LookupPrivilegeValueW(NULL, SE_IMPERSONATE_NAME, &impersonate);
    EXPECT_FALSE(disableAll);
    EXPECT_EQ(1u, privileges->PrivilegeCount);
    EXPECT_EQ(impersonate.LowPart, privileges->Privileges[0].Luid.LowPart);
    EXPECT_EQ((DWORD)SE_PRIVILEGE_ENABLED, privileges->Privileges[0].Attributes);
    // Windows answers TRUE either way and tells by the last error whether the token holds it.
    SetLastError(sessions->impersonationHeld ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL WINAPI FakeWTSQuerySessionInformationW(HANDLE server, DWORD session, WTS_INFO_CLASS kind,
                                            LPWSTR *buffer, DWORD *bytes)
{
    EXPECT_EQ(sessions->shellSession, session);
    if (!sessions->sessionNamed) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // Wine names its one user's session itself.
    return SYSTEM_FUNCTION("wtsapi32.dll", WTSQuerySessionInformationW)(server, session, kind,
                                                                        buffer, bytes);
}

DWORD WINAPI FakeWTSGetActiveConsoleSessionId()
{
    return sessions->consoleSession;
}

BOOL WINAPI FakeWTSQueryUserToken(ULONG session, PHANDLE token)
{
    if (!sessions->consoleUserLoggedOn) {
        SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    *token = sessions->make(L"user token of session " + std::to_wstring(session));
    return TRUE;
}

BOOL WINAPI FakeCreateEnvironmentBlock(LPVOID *environment, HANDLE token, BOOL inherit)
{
    EXPECT_FALSE(inherit); // nothing of LocalSystem's own environment
    if (!sessions->environmentMade) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *environment = sessions->environmentBlock;
    sessions->environments[*environment] = L"the environment of " + sessions->label(token);
    return TRUE;
}

BOOL WINAPI FakeDestroyEnvironmentBlock(LPVOID environment)
{
    EXPECT_EQ(1u, sessions->environments.erase(environment));
    return TRUE;
}

} // namespace

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD timeout)
{
    if (sessions->label(handle) != L"process")
        return SYSTEM_FUNCTION("kernel32.dll", WaitForSingleObject)(handle, timeout);
    sessions->processWaits.push_back(timeout);
    return WAIT_OBJECT_0;
}

SessionHooks::SessionHooks()
    : hooks_{// Not imported while nothing starts a program with the tool's own token; if it were,
             // its start would be written down as such.
             {"kernel32.dll", "CreateProcessW",
              reinterpret_cast<const void *>(&RecordingCreateProcessW), false},
             {"advapi32.dll", "CreateProcessWithTokenW",
              reinterpret_cast<const void *>(&RecordingCreateProcessWithTokenW)},
             {nullptr, "CreateProcessAsUserW",
              reinterpret_cast<const void *>(&RecordingCreateProcessAsUserW)},
             {"advapi32.dll", "GetTokenInformation",
              reinterpret_cast<const void *>(&FakeGetTokenInformation)},
             {"user32.dll", "GetShellWindow", reinterpret_cast<const void *>(&FakeGetShellWindow)},
             {"user32.dll", "GetWindowThreadProcessId",
              reinterpret_cast<const void *>(&FakeGetWindowThreadProcessId)},
             {"kernel32.dll", "ProcessIdToSessionId",
              reinterpret_cast<const void *>(&FakeProcessIdToSessionId)},
             {"kernel32.dll", "OpenProcess", reinterpret_cast<const void *>(&FakeOpenProcess)},
             {"advapi32.dll", "OpenProcessToken",
              reinterpret_cast<const void *>(&FakeOpenProcessToken)},
             {"advapi32.dll", "DuplicateTokenEx",
              reinterpret_cast<const void *>(&FakeDuplicateTokenEx)},
             {"advapi32.dll", "SetTokenInformation",
              reinterpret_cast<const void *>(&FakeSetTokenInformation)},
             {"advapi32.dll", "AdjustTokenPrivileges",
              reinterpret_cast<const void *>(&FakeAdjustTokenPrivileges)},
             {"kernel32.dll", "WTSGetActiveConsoleSessionId",
              reinterpret_cast<const void *>(&FakeWTSGetActiveConsoleSessionId)},
             {"wtsapi32.dll", "WTSQuerySessionInformationW",
              reinterpret_cast<const void *>(&FakeWTSQuerySessionInformationW)},
             {"wtsapi32.dll", "WTSQueryUserToken",
              reinterpret_cast<const void *>(&FakeWTSQueryUserToken)},
             {"userenv.dll", "CreateEnvironmentBlock",
              reinterpret_cast<const void *>(&FakeCreateEnvironmentBlock)},
             {"userenv.dll", "DestroyEnvironmentBlock",
              reinterpret_cast<const void *>(&FakeDestroyEnvironmentBlock)}}
{
    sessions = &world;
}

SessionHooks::~SessionHooks()
{
    sessions = nullptr;
}
