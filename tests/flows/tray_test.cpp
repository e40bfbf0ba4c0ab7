// The tray companion: its path, its Run value and start at install, its removal, running or not.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <map>
#include <string>
#include <vector>

#include "flows/tray.h"
#include "folder_descriptor.h"
#include "import_hook.h"
#include "setup_context.h"
#include "test_paths.h"
#include "virtual_clock.h"

namespace {

std::wstring CompanionPath(const WCHAR *moduleDir)
{
    SetupContext context = {};
    Assign(&context.moduleDir, moduleDir);
    CountedString path = NULL;
    TrayCompanionPath(&context, &path);
    std::wstring result = StringText(path);
    FreeString(&path);
    FreeString(&context.moduleDir);
    return result;
}

TEST(TrayCompanionPath, IsInTheParentOfTheToolsFolder)
{
    EXPECT_EQ(L"D:\\Prog\\zentray.exe", CompanionPath(L"D:\\Prog\\Setup\\"));
    EXPECT_EQ(L"C:\\Program Files\\Zentavo\\zentray.exe",
              CompanionPath(L"C:\\Program Files\\Zentavo\\Setup\\"));
    EXPECT_EQ(L"D:/Prog\\zentray.exe", CompanionPath(L"D:/Prog/Setup/"));
    // The root of a drive and a folder without separator give the bare file name.
    EXPECT_EQ(L"zentray.exe", CompanionPath(L"C:\\"));
    EXPECT_EQ(L"zentray.exe", CompanionPath(L"C:"));
    EXPECT_EQ(L"zentray.exe", CompanionPath(L""));
    EXPECT_EQ(L"C:\\zentray.exe", CompanionPath(L"C:\\Setup\\"));
}

// The Run value in the test prefix's real registry.
std::wstring ReadRunValue(DWORD *type = nullptr)
{
    WCHAR data[1024] = {};
    DWORD size = sizeof(data) - sizeof(WCHAR), kind = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_W, TRAY_RUN_VALUE_W, RRF_RT_ANY, &kind, data,
                     &size) != ERROR_SUCCESS)
        return L"<none>";
    if (type)
        *type = kind;
    return data;
}

::testing::AssertionResult WriteRunValue(DWORD type, const void *data, DWORD size)
{
    HKEY run;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_W, 0, NULL, 0, KEY_ALL_ACCESS,
                                     NULL, &run, NULL);
    if (status != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "RegCreateKeyExW of the Run key gave " << status;
    status = RegSetValueExW(run, TRAY_RUN_VALUE_W, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(run);
    if (status != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "RegSetValueExW of the Run value gave " << status;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult WriteRunPath(const std::wstring &path)
{
    return WriteRunValue(REG_SZ, path.c_str(), (DWORD)(2 * (path.size() + 1)));
}

void DeleteRunValue()
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_W, TRAY_RUN_VALUE_W);
}

LSTATUS WINAPI RefusingRegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY)
{
    return ERROR_ACCESS_DENIED;
}

// A model of the sessions, shells and tokens that the companion's start reads. Wine runs every
// process as one elevated user in session 1 and registers no shell, so which token, session and
// desktop a process gets is shown here by replacing the calls: the fakes label the handles they
// give out, and each process-creation call is written down with the labels it was handed.
struct Sessions {
    bool localSystem = false; // the tool's token user
    HWND shell = reinterpret_cast<HWND>(0x5150);
    DWORD shellProcessId = 4242;
    DWORD shellSession = 1, ownSession = 1, consoleSession = 1;
    bool shellProcessGone = false;
    bool impersonationHeld = true;
    bool consoleUserLoggedOn = true;
    bool startsSucceed = false;
    std::map<HANDLE, std::wstring> labels;
    std::map<HANDLE, DWORD> tokenSessions;
    bool environmentMade = true;
    std::map<LPVOID, std::wstring> environments; // blocks made and not yet destroyed
    WCHAR environmentBlock[4] = {L'A', L'=', 0, 0};
    std::vector<std::wstring> starts; // "API as TOKEN on DESKTOP: PROGRAM | COMMAND LINE"
    std::vector<std::wstring> runValueAtStart;
    std::vector<DWORD> processWaits;
    // The code under test closes what it is given; a handle it keeps is left to the process's
    // end, never closed twice.
    HANDLE make(const std::wstring &label)
    {
        HANDLE handle = CreateEventW(NULL, FALSE, FALSE, NULL); // any handle CloseHandle takes
        labels[handle] = label;
        return handle;
    }
    std::wstring label(HANDLE handle) const
    {
        auto found = labels.find(handle);
        return found == labels.end() ? L"the tool's token" : found->second;
    }
};
Sessions *sessions;

std::vector<std::wstring> startedCommandLines, startedPrograms;
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
        sessions->runValueAtStart.push_back(ReadRunValue());
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

BOOL WINAPI FakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data,
                                    DWORD size, PDWORD needed)
{
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
    *processId = sessions->shellProcessId;
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

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD timeout)
{
    if (sessions->label(handle) != L"process")
        return SYSTEM_FUNCTION("kernel32.dll", WaitForSingleObject)(handle, timeout);
    sessions->processWaits.push_back(timeout);
    return WAIT_OBJECT_0;
}

// The calls that decide as whom and where a process starts, replaced for a test's scope.
class SessionHooks {
public:
    Sessions world;
    SessionHooks()
    {
        sessions = &world;
    }
    ~SessionHooks()
    {
        sessions = nullptr;
    }

private:
    ImportHook hooks_[16] = {
        {"kernel32.dll", "CreateProcessW",
         reinterpret_cast<const void *>(&RecordingCreateProcessW)},
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
        {"advapi32.dll", "OpenProcessToken", reinterpret_cast<const void *>(&FakeOpenProcessToken)},
        {"advapi32.dll", "DuplicateTokenEx", reinterpret_cast<const void *>(&FakeDuplicateTokenEx)},
        {"advapi32.dll", "SetTokenInformation",
         reinterpret_cast<const void *>(&FakeSetTokenInformation)},
        {"advapi32.dll", "AdjustTokenPrivileges",
         reinterpret_cast<const void *>(&FakeAdjustTokenPrivileges)},
        {"kernel32.dll", "WTSGetActiveConsoleSessionId",
         reinterpret_cast<const void *>(&FakeWTSGetActiveConsoleSessionId)},
        {"wtsapi32.dll", "WTSQueryUserToken",
         reinterpret_cast<const void *>(&FakeWTSQueryUserToken)},
        {"userenv.dll", "CreateEnvironmentBlock",
         reinterpret_cast<const void *>(&FakeCreateEnvironmentBlock)},
        {"userenv.dll", "DestroyEnvironmentBlock",
         reinterpret_cast<const void *>(&FakeDestroyEnvironmentBlock)},
    };
};

DWORD reportedMajorVersion = 6;
BOOL WINAPI FakeGetVersionExA(LPOSVERSIONINFOA info)
{
    info->dwMajorVersion = reportedMajorVersion;
    info->dwMinorVersion = 1;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
}

class RegisterTrayTest : public ::testing::Test {
protected:
    SetupContext context = {};
    SessionHooks hooks; // an elevated tool with a user's shell on its desktop
    ImportHook version{"kernel32.dll", "GetVersionExA",
                       reinterpret_cast<const void *>(&FakeGetVersionExA)};
    void SetUp() override
    {
        startedCommandLines.clear();
        startedPrograms.clear();
        reportedMajorVersion = 6;
        context.installTray = 1;
        DeleteRunValue();
    }
    void TearDown() override
    {
        DeleteRunValue();
        FreeString(&context.moduleDir);
        FreeString(&context.logText);
    }
};

TEST_F(RegisterTrayTest, WritesTheRunValueUnquotedAndStartsTheCompanionQuoted)
{
    Assign(&context.moduleDir, L"C:\\Program Files\\Zentavo\\Setup\\");
    EXPECT_FALSE(RegisterTray(&context)); // the start is refused
    DWORD type = 0;
    EXPECT_EQ(L"C:\\Program Files\\Zentavo\\zentray.exe", ReadRunValue(&type));
    EXPECT_EQ((DWORD)REG_SZ, type);
    ASSERT_EQ(1u, startedCommandLines.size());
    EXPECT_EQ(L"\"C:\\Program Files\\Zentavo\\zentray.exe\"", startedCommandLines[0]);
    // The program is named in full: nothing is looked for along the search path.
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\Program Files\\Zentavo\\zentray.exe"},
              startedPrograms);

    // A Run key that does not open gets no value; the companion is started all the same.
    DeleteRunValue();
    {
        ImportHook run("advapi32.dll", "RegOpenKeyExA",
                       reinterpret_cast<const void *>(&RefusingRegOpenKeyExA));
        EXPECT_FALSE(RegisterTray(&context));
    }
    EXPECT_EQ(L"<none>", ReadRunValue());
    EXPECT_EQ(2u, startedCommandLines.size());
}

// The companion never gets the tool's token: an elevated tool starts it with the token of the
// shell on its desktop, LocalSystem as the console session's user on that session's desktop.
// Where there is no such user nothing starts (the Run value starts it at the next logon), the
// log says why, and the tool never falls back on its own token.
TEST_F(RegisterTrayTest, StartsTheCompanionOnlyAsTheUserOfTheDesktop)
{
    const std::wstring path = L"C:\\P\\zentray.exe";
    const std::wstring started = L": " + path + L" | \"" + path + L"\"";
    const struct {
        const char *what;
        bool localSystem;
        bool shell;
        DWORD shellSession;
        bool shellProcessGone;
        bool impersonationHeld;
        DWORD consoleSession;
        bool consoleUser;
        bool environmentMade;
        std::wstring start;  // empty: nothing is started
        const WCHAR *logged; // empty: no line
    } rows[] = {
        {"elevated, with a shell", false, true, 1, false, true, 1, true, true,
         L"CreateProcessWithTokenW as primary copy of shell token on <inherited>" + started, L""},
        {"elevated, no shell", false, false, 1, false, true, 1, true, true, L"",
         L"The tray companion is not started: no user's shell runs on this desktop; it starts "
         L"at the next logon"},
        {"elevated, the shell's process gone", false, true, 1, true, true, 1, true, true, L"",
         L"The tray companion is not started: the shell's token could not be taken (87); it "
         L"starts at the next logon"},
        {"elevated, the shell in another session", false, true, 2, false, true, 1, true, true, L"",
         L"The tray companion is not started: the shell's token could not be taken (5); it "
         L"starts at the next logon"},
        {"elevated, no right to start as another user", false, true, 1, false, false, 1, true, true,
         L"",
         L"The tray companion is not started: the tool may not start programs as another user "
         L"(1300); it starts at the next logon"},
        {"LocalSystem, a user at the console", true, false, 1, false, true, 3, true, true,
         L"CreateProcessAsUserW as user token of session 3 with the environment of user token "
         L"of session 3 on winsta0\\default" +
             started,
         L""},
        {"LocalSystem, no session at the console", true, true, 1, false, true, 0xFFFFFFFF, true,
         true, L"",
         L"The tray companion is not started: no user is logged on at the console; it starts at "
         L"the next logon"},
        {"LocalSystem, nobody logged on", true, true, 1, false, true, 1, false, true, L"",
         L"The tray companion is not started: no user is logged on at the console; it starts at "
         L"the next logon"},
        {"LocalSystem, no environment for the user", true, true, 1, false, true, 1, true, false,
         L"",
         L"The tray companion is not started: the console user's environment could not be made "
         L"(8); it starts at the next logon"},
    };
    Assign(&context.moduleDir, L"C:\\P\\Setup\\");
    for (const auto &row : rows) {
        Sessions &world = hooks.world;
        world.localSystem = row.localSystem;
        world.shell = row.shell ? reinterpret_cast<HWND>(0x5150) : NULL;
        world.shellSession = row.shellSession;
        world.shellProcessGone = row.shellProcessGone;
        world.impersonationHeld = row.impersonationHeld;
        world.consoleSession = row.consoleSession;
        world.consoleUserLoggedOn = row.consoleUser;
        world.environmentMade = row.environmentMade;
        world.starts.clear();
        Assign(&context.logText, L"");
        RegisterTray(&context);
        std::vector<std::wstring> expected;
        if (!row.start.empty())
            expected.push_back(row.start);
        EXPECT_EQ(expected, world.starts) << row.what;
        std::wstring logged = row.logged[0] ? std::wstring(row.logged) + L"\r\n" : L"";
        EXPECT_EQ(logged, std::wstring(StringText(context.logText))) << row.what;
        EXPECT_EQ(path, ReadRunValue()) << row.what;         // registered all the same
        EXPECT_TRUE(world.environments.empty()) << row.what; // every block made was destroyed
    }
}

TEST_F(RegisterTrayTest, ABareCompanionNameIsNeitherRegisteredNorStarted)
{
    // The tool at a drive root, or without its folder (a module path too long for its buffer).
    for (const WCHAR *moduleDir : {L"C:\\", L"C:", L""}) {
        Assign(&context.moduleDir, moduleDir);
        EXPECT_FALSE(RegisterTray(&context)) << moduleDir;
        EXPECT_EQ(L"<none>", ReadRunValue()) << moduleDir;
    }
    EXPECT_TRUE(startedCommandLines.empty());
}

TEST_F(RegisterTrayTest, DoesNothingWithoutTrayOrOnOldSystems)
{
    Assign(&context.moduleDir, L"C:\\P\\Setup\\");
    context.installTray = 0;
    EXPECT_TRUE(RegisterTray(&context)); // nothing was asked
    reportedMajorVersion = 5;
    context.installTray = 1;
    EXPECT_TRUE(RegisterTray(&context));
    EXPECT_EQ(L"<none>", ReadRunValue());
    EXPECT_TRUE(startedCommandLines.empty());
}

TEST_F(RegisterTrayTest, APathTooLongForTheCommandLineIsNotStarted)
{
    std::wstring dir = L"C:\\" + std::wstring(250, L'd') + L"\\Setup\\";
    Assign(&context.moduleDir, dir.c_str());
    EXPECT_FALSE(RegisterTray(&context)); // written, not started
    EXPECT_EQ(L"C:\\" + std::wstring(250, L'd') + L"\\zentray.exe", ReadRunValue());
    EXPECT_TRUE(startedCommandLines.empty());

    // 259 characters still fit.
    dir = L"C:\\" + std::wstring(256 - 11 - 1, L'e') + L"\\Setup\\";
    Assign(&context.moduleDir, dir.c_str());
    RegisterTray(&context);
    ASSERT_EQ(1u, startedCommandLines.size());
    EXPECT_EQ(259u + 2, startedCommandLines[0].size());
}

// The current folder changed for a scope, and given back on every way out of it.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::wstring &folder)
    {
        GetCurrentDirectoryW(MAX_PATH, saved_);
        SetCurrentDirectoryW(folder.c_str());
    }
    ~CurrentFolder()
    {
        SetCurrentDirectoryW(saved_);
    }
    CurrentFolder(const CurrentFolder &) = delete;
    CurrentFolder &operator=(const CurrentFolder &) = delete;

private:
    WCHAR saved_[MAX_PATH] = {};
};

// A scratch folder with a file named like the companion, for the deletion paths.
class RemoveTrayTest : public ::testing::Test {
protected:
    VirtualClock clock;
    std::wstring dir, companion;
    void SetUp() override
    {
        dir = BuildDir() + L"tray-scratch\\";
        CreateDirectoryW(dir.c_str(), NULL);
        companion = dir + L"zentray.exe";
        ASSERT_TRUE(makeFile(companion));
        DeleteRunValue();
    }
    void TearDown() override
    {
        DeleteRunValue();
        RemoveFolder(dir, {L"zentray.exe", L"other.exe"});
    }
    static ::testing::AssertionResult makeFile(const std::wstring &path)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return ::testing::AssertionFailure()
                   << "cannot create " << path << ": error " << GetLastError();
        CloseHandle(file);
        return ::testing::AssertionSuccess();
    }
    static bool exists(const std::wstring &path)
    {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
};

int findWindowCalls;
HWND WINAPI CountingFindWindowW(LPCWSTR, LPCWSTR)
{
    findWindowCalls++;
    return NULL;
}

TEST_F(RemoveTrayTest, WithoutCompanionDeletesItsFileAndValue)
{
    ASSERT_TRUE(WriteRunPath(companion));
    findWindowCalls = 0;
    {
        ImportHook find("user32.dll", "FindWindowW",
                        reinterpret_cast<const void *>(&CountingFindWindowW));
        EXPECT_TRUE(RemoveTray(nullptr));
    }
    EXPECT_EQ(0, findWindowCalls); // the mutex did not exist: nobody to ask
    EXPECT_FALSE(exists(companion));
    EXPECT_EQ(L"<none>", ReadRunValue());
    EXPECT_TRUE(clock.sleeps().empty());
}

HANDLE WINAPI RefusingCreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

TEST_F(RemoveTrayTest, WithoutItsMutexOnlyTheValueGoesAndWithoutTheRunKeyNothingDoes)
{
    // No mutex: nobody is asked to quit and the file the value names is not touched.
    ASSERT_TRUE(WriteRunPath(companion));
    findWindowCalls = 0;
    {
        ImportHook mutex("kernel32.dll", "CreateMutexA",
                         reinterpret_cast<const void *>(&RefusingCreateMutexA));
        ImportHook find("user32.dll", "FindWindowW",
                        reinterpret_cast<const void *>(&CountingFindWindowW));
        EXPECT_FALSE(RemoveTray(nullptr)); // whether the companion runs cannot be told
    }
    EXPECT_EQ(0, findWindowCalls);
    EXPECT_TRUE(exists(companion));
    EXPECT_EQ(L"<none>", ReadRunValue());

    // No Run key: the value and the file stay, and there is no pause for a missing value.
    ASSERT_TRUE(WriteRunPath(companion));
    {
        ImportHook run("advapi32.dll", "RegOpenKeyExA",
                       reinterpret_cast<const void *>(&RefusingRegOpenKeyExA));
        EXPECT_FALSE(RemoveTray(nullptr));
    }
    EXPECT_TRUE(exists(companion));
    EXPECT_EQ(companion, ReadRunValue());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(RemoveTrayTest, MissingValuePausesOneSecondAndEmptyValueDeletesNothing)
{
    EXPECT_TRUE(RemoveTray(nullptr));
    EXPECT_EQ(std::vector<DWORD>{1000}, clock.sleeps());
    EXPECT_TRUE(exists(companion));

    ASSERT_TRUE(WriteRunPath(L""));
    EXPECT_TRUE(RemoveTray(nullptr));
    EXPECT_EQ(std::vector<DWORD>{1000}, clock.sleeps());
    EXPECT_EQ(L"<none>", ReadRunValue());
}

TEST_F(RemoveTrayTest, OnlyTheCompanionFileByAnAbsolutePathIsDeleted)
{
    ASSERT_TRUE(makeFile(dir + L"other.exe"));
    ASSERT_TRUE(WriteRunPath(dir + L"other.exe"));
    EXPECT_TRUE(RemoveTray(nullptr)); // no file of the companion's was to go
    EXPECT_TRUE(exists(dir + L"other.exe"));
    EXPECT_EQ(L"<none>", ReadRunValue());

    // A relative name would resolve against whatever the current folder is.
    {
        CurrentFolder inScratch(dir);
        ASSERT_TRUE(WriteRunPath(L"zentray.exe"));
        RemoveTray(nullptr);
    }
    EXPECT_TRUE(exists(companion));

    // The name is compared without regard to ASCII case.
    std::wstring upper = dir + L"ZENTRAY.EXE";
    ASSERT_TRUE(WriteRunPath(upper));
    EXPECT_TRUE(RemoveTray(nullptr));
    EXPECT_FALSE(exists(companion));
}

TEST_F(RemoveTrayTest, ValuesThatAreNoTerminatedStringAreNeverUsedAsPaths)
{
    ASSERT_TRUE(WriteRunValue(REG_BINARY, companion.c_str(), (DWORD)(2 * (companion.size() + 1))));
    RemoveTray(nullptr);
    EXPECT_TRUE(exists(companion));
    EXPECT_EQ(L"<none>", ReadRunValue());

    // A string value without its terminator that fills the whole read buffer.
    std::wstring filler = companion + std::wstring(264 - companion.size(), L'x');
    ASSERT_TRUE(WriteRunValue(REG_SZ, filler.c_str(), 264 * 2));
    RemoveTray(nullptr);
    EXPECT_TRUE(exists(companion));
    EXPECT_LE(clock.sleeps().size(), 1u); // Wine may refuse it as too long: then it pauses
    EXPECT_EQ(L"<none>", ReadRunValue());
}

TEST_F(RemoveTrayTest, KeepsTheFileThatIsAboutToBeRegistered)
{
    ASSERT_TRUE(WriteRunPath(companion));
    std::wstring keep = companion;
    for (auto &c : keep)
        c = (WCHAR)towupper(c);
    EXPECT_TRUE(RemoveTray(keep.c_str()));
    EXPECT_TRUE(exists(companion));
    EXPECT_EQ(L"<none>", ReadRunValue());
}

// From LocalSystem in a service's session the companion's mutex and window are out of reach: the
// tool's own "removetray" runs in the console's session with a copy of the tool's token, while
// the Run value is held back so that only this run, which knows what to keep, deletes. The copy
// started there, already in the console's session, asks the companion itself.
// What the tool's folders' access lists say, for a test's rows.
const WCHAR *toolFoldersSddl = L"";
DWORD WINAPI ToolFoldersSecurityInfoW(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *owner,
                                      PSID *group, PACL *dacl, PACL *sacl,
                                      PSECURITY_DESCRIPTOR *descriptor)
{
    return DescriptorFromSddl(toolFoldersSddl, owner, group, dacl, sacl, descriptor);
}

TEST_F(RemoveTrayTest, FromLocalSystemTheQuitRequestIsMadeInTheConsolesSession)
{
    static const WCHAR ADMINS_ONLY[] =
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    static const WCHAR USERS_MODIFY[] =
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
    WCHAR tool[MAX_PATH];
    GetModuleFileNameW(NULL, tool, MAX_PATH);
    const std::wstring child = std::wstring(L"CreateProcessAsUserW as primary copy of the tool's "
                                            L"token in session 1 on winsta0\\default: ") +
                               tool + L" | \"" + tool + L"\" removetray";
    const struct {
        const char *what;
        DWORD ownSession;
        DWORD consoleSession;
        bool keep;
        const WCHAR *folders;
        std::vector<std::wstring> starts;
        bool fileStays;
    } rows[] = {
        {"a reinstall from a service's session", 0, 1, true, ADMINS_ONLY, {child}, true},
        {"an uninstall from a service's session", 0, 1, false, ADMINS_ONLY, {child}, false},
        {"already in the console's session", 1, 1, false, ADMINS_ONLY, {}, false},
        {"no session at the console", 0, 0xFFFFFFFF, false, ADMINS_ONLY, {}, false},
        // Its path may name another program by now: the tool is not started again from there.
        {"the tool's folders open to users", 0, 1, false, USERS_MODIFY, {}, false},
    };
    for (const auto &row : rows) {
        SessionHooks hooks;
        ImportHook wait("kernel32.dll", "WaitForSingleObject",
                        reinterpret_cast<const void *>(&FakeWaitForSingleObject));
        toolFoldersSddl = row.folders;
        ImportHook security("advapi32.dll", "GetNamedSecurityInfoW",
                            reinterpret_cast<const void *>(&ToolFoldersSecurityInfoW));
        hooks.world.localSystem = true;
        hooks.world.startsSucceed = true;
        hooks.world.ownSession = row.ownSession;
        hooks.world.consoleSession = row.consoleSession;
        ASSERT_TRUE(makeFile(companion));
        ASSERT_TRUE(WriteRunPath(companion));
        EXPECT_TRUE(RemoveTray(row.keep ? companion.c_str() : nullptr)) << row.what;
        EXPECT_EQ(row.starts, hooks.world.starts) << row.what;
        if (!row.starts.empty()) {
            // The copy saw no Run value: it could not delete the file this run keeps.
            EXPECT_EQ(std::vector<std::wstring>{L"<none>"}, hooks.world.runValueAtStart);
            EXPECT_EQ(std::vector<DWORD>{120000}, hooks.world.processWaits) << row.what;
        }
        EXPECT_EQ(row.fileStays, exists(companion)) << row.what;
        EXPECT_EQ(L"<none>", ReadRunValue()) << row.what;
    }
}

std::vector<DWORD> deleteErrors;
size_t deleteCalls;
BOOL WINAPI FailingDeleteFileW(LPCWSTR)
{
    DWORD error =
        deleteCalls < deleteErrors.size() ? deleteErrors[deleteCalls] : ERROR_SHARING_VIOLATION;
    deleteCalls++;
    if (error == 0)
        return TRUE;
    SetLastError(error);
    return FALSE;
}

TEST_F(RemoveTrayTest, ALockedFileIsTriedTenTimes)
{
    ASSERT_TRUE(WriteRunPath(companion));
    deleteCalls = 0;
    deleteErrors = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION};
    {
        ImportHook hook("kernel32.dll", "DeleteFileW",
                        reinterpret_cast<const void *>(&FailingDeleteFileW));
        EXPECT_FALSE(RemoveTray(nullptr)); // the file stayed
    }
    EXPECT_EQ(10u, deleteCalls);
    std::vector<DWORD> expected(10, 10);
    expected[0] = 100;
    EXPECT_EQ(expected, clock.sleeps());
    EXPECT_EQ(L"<none>", ReadRunValue());

    // A file already gone ends the attempts at once.
    ASSERT_TRUE(WriteRunPath(companion));
    deleteCalls = 0;
    deleteErrors = {ERROR_FILE_NOT_FOUND};
    {
        ImportHook hook("kernel32.dll", "DeleteFileW",
                        reinterpret_cast<const void *>(&FailingDeleteFileW));
        EXPECT_TRUE(RemoveTray(nullptr));
    }
    EXPECT_EQ(1u, deleteCalls);
}

// The companion's side: a mutex held by another thread and, when wanted, its window.
struct Companion {
    std::vector<DWORD> waitResults; // what each wait on the mutex answers
    size_t waits = 0;
    std::vector<DWORD> waitTimeouts;
    int posts = 0, releases = 0;
    int windowVanishesAfterPosts = -1; // -1: the window stays
};
Companion *companionState;

HANDLE WINAPI ExistingCreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name)
{
    // The names and the message are the companion's: written out, not taken from the tool.
    EXPECT_STREQ("{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}", name);
    HANDLE mutex = CreateEventW(NULL, FALSE, FALSE, NULL); // any waitable handle
    SetLastError(ERROR_ALREADY_EXISTS);
    return mutex;
}

HWND WINAPI CompanionFindWindowW(LPCWSTR cls, LPCWSTR title)
{
    EXPECT_STREQ(L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}", cls);
    EXPECT_EQ(nullptr, title);
    Companion *c = companionState;
    if (c->windowVanishesAfterPosts >= 0 && c->posts >= c->windowVanishesAfterPosts)
        return NULL;
    return reinterpret_cast<HWND>(0x1234);
}

BOOL WINAPI CompanionPostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    EXPECT_EQ(reinterpret_cast<HWND>(0x1234), window); // the window that was found
    EXPECT_EQ(0x0402u, message);
    EXPECT_EQ(0u, wParam);
    EXPECT_EQ(0, lParam);
    companionState->posts++;
    return TRUE;
}

DWORD WINAPI CompanionWaitForSingleObject(HANDLE, DWORD timeout)
{
    Companion *c = companionState;
    c->waitTimeouts.push_back(timeout);
    DWORD result = c->waits < c->waitResults.size() ? c->waitResults[c->waits] : WAIT_TIMEOUT;
    c->waits++;
    return result;
}

BOOL WINAPI CompanionReleaseMutex(HANDLE)
{
    companionState->releases++;
    return TRUE;
}

class RunningCompanion : public RemoveTrayTest {
protected:
    Companion state;
    ImportHook mutex{"kernel32.dll", "CreateMutexA",
                     reinterpret_cast<const void *>(&ExistingCreateMutexA)};
    ImportHook find{"user32.dll", "FindWindowW",
                    reinterpret_cast<const void *>(&CompanionFindWindowW)};
    ImportHook post{"user32.dll", "PostMessageW",
                    reinterpret_cast<const void *>(&CompanionPostMessageW)};
    ImportHook wait{"kernel32.dll", "WaitForSingleObject",
                    reinterpret_cast<const void *>(&CompanionWaitForSingleObject)};
    ImportHook release{"kernel32.dll", "ReleaseMutex",
                       reinterpret_cast<const void *>(&CompanionReleaseMutex)};
    void SetUp() override
    {
        RemoveTrayTest::SetUp();
        companionState = &state;
        ASSERT_TRUE(WriteRunPath(companion));
    }
};

TEST_F(RunningCompanion, ThatQuitsIsAskedOnceAndItsMutexReleased)
{
    state.waitResults = {WAIT_OBJECT_0};
    EXPECT_TRUE(RemoveTray(nullptr));
    EXPECT_EQ(1, state.posts);
    EXPECT_EQ(std::vector<DWORD>{5000}, state.waitTimeouts);
    EXPECT_EQ(1, state.releases);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_FALSE(exists(companion));
    EXPECT_EQ(L"<none>", ReadRunValue());
}

TEST_F(RunningCompanion, ThatNeverQuitsIsWaitedForTwentyPassesAndOneMore)
{
    EXPECT_FALSE(RemoveTray(nullptr));
    EXPECT_EQ(20, state.posts);
    EXPECT_EQ(std::vector<DWORD>(21, 5000), state.waitTimeouts);
    EXPECT_EQ(0, state.releases);
    EXPECT_EQ(L"<none>", ReadRunValue()); // the removal goes on
}

TEST_F(RunningCompanion, WhoseWindowNeverShowsIsGivenTwentyPauses)
{
    state.windowVanishesAfterPosts = 0;
    EXPECT_FALSE(RemoveTray(nullptr)); // never asked, never seen to quit
    EXPECT_EQ(0, state.posts);
    EXPECT_TRUE(state.waitTimeouts.empty());
    EXPECT_EQ(std::vector<DWORD>(20, 250), clock.sleeps());
}

TEST_F(RunningCompanion, WhoseWindowVanishesGetsOneLastWait)
{
    state.windowVanishesAfterPosts = 1;
    state.waitResults = {WAIT_TIMEOUT, WAIT_ABANDONED};
    EXPECT_TRUE(RemoveTray(nullptr));
    EXPECT_EQ(1, state.posts);
    EXPECT_EQ(std::vector<DWORD>(2, 5000), state.waitTimeouts);
    EXPECT_EQ(1, state.releases); // an abandoned mutex is owned too, and given back
    EXPECT_TRUE(clock.sleeps().empty());
}

} // namespace
