// The tray companion: its path, its Run value and start at install, its removal, running or not.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <map>
#include <string>
#include <vector>

#include "desktop_model.h"
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

// The companion starts as the desktop's user (StartAsDesktopUser); where there is none, the log
// says why and the Run value is written all the same.
TEST_F(RegisterTrayTest, LogsWhyNoCompanionWasStarted)
{
    const std::wstring path = L"C:\\P\\zentray.exe";
    Assign(&context.moduleDir, L"C:\\P\\Setup\\");
    hooks.world.startsSucceed = true;
    EXPECT_TRUE(RegisterTray(&context));
    EXPECT_EQ(1u, hooks.world.starts.size());
    EXPECT_STREQ(L"", StringText(context.logText));

    hooks.world.shellElevated = true;
    EXPECT_FALSE(RegisterTray(&context));
    EXPECT_EQ(1u, hooks.world.starts.size());
    EXPECT_EQ(L"The tray companion is not started: the shell runs elevated; it starts at the "
              L"next logon\r\n",
              std::wstring(StringText(context.logText)));
    EXPECT_EQ(path, ReadRunValue()); // registered all the same

    // A start that fails has no reason to give.
    Assign(&context.logText, L"");
    hooks.world.shellElevated = false;
    hooks.world.startsSucceed = false;
    EXPECT_FALSE(RegisterTray(&context));
    EXPECT_EQ(2u, hooks.world.starts.size());
    EXPECT_STREQ(L"", StringText(context.logText));
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
// tool's own "removetray" runs in the console's session (RunToolInSession) while the Run value is
// held back, so that only this run, which knows what to keep, deletes. The copy started there,
// already in the console's session, asks the companion itself.
DWORD WINAPI AdminsOnlySecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *owner,
                                    PSID *group, PACL *dacl, PACL *sacl,
                                    PSECURITY_DESCRIPTOR *descriptor)
{
    return DescriptorFromSddl(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
                              owner, group, dacl, sacl, descriptor);
}

TEST_F(RemoveTrayTest, FromLocalSystemTheQuitRequestIsMadeInTheConsolesSession)
{
    const struct {
        const char *what;
        bool keep;
        bool fileStays;
    } rows[] = {
        {"a reinstall from a service's session", true, true},
        {"an uninstall from a service's session", false, false},
    };
    for (const auto &row : rows) {
        SessionHooks hooks;
        ImportHook wait("kernel32.dll", "WaitForSingleObject",
                        reinterpret_cast<const void *>(&FakeWaitForSingleObject));
        ImportHook security("advapi32.dll", "GetSecurityInfo",
                            reinterpret_cast<const void *>(&AdminsOnlySecurityInfo));
        hooks.world.localSystem = true;
        hooks.world.startsSucceed = true;
        hooks.world.ownSession = 0;
        hooks.world.noteAtStart = []() { return ReadRunValue(); };
        ASSERT_TRUE(makeFile(companion));
        ASSERT_TRUE(WriteRunPath(companion));
        EXPECT_TRUE(RemoveTray(row.keep ? companion.c_str() : nullptr)) << row.what;
        ASSERT_EQ(1u, hooks.world.starts.size()) << row.what;
        EXPECT_NE(std::wstring::npos, hooks.world.starts[0].find(L"\" removetray")) << row.what;
        // The copy saw no Run value: it could not delete the file this run keeps.
        EXPECT_EQ(std::vector<std::wstring>{L"<none>"}, hooks.world.notedAtStart) << row.what;
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
