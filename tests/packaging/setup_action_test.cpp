// The package's custom action against Windows Installer's rules, which Wine's msiexec does not
// enforce: a deferred call may use only the functions Windows allows there, and the upgrade key
// speaks for an upgrade only while the installer that wrote it runs.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>

#include <map>
#include <string>
#include <vector>

#include "action_data.h"
#include "folder_descriptor.h"
#include "import_hook.h"
#include "setup_run.h"
#include "test_paths.h"

extern "C" UINT __stdcall RunSetupTool(MSIHANDLE install);
extern "C" UINT __stdcall MarkUpgrade(MSIHANDLE install);
extern "C" UINT __stdcall UnmarkUpgrade(MSIHANDLE install);
extern "C" UINT __stdcall RequestReboot(MSIHANDLE install);
extern "C" UINT __stdcall RemoveFailedInstallFolders(MSIHANDLE install);
extern "C" UINT __stdcall AppendInstallerLog(const WCHAR *path, const WCHAR *text, UINT supportLog);
extern "C" UINT __stdcall LastRunErrors(const WCHAR *logPath, ULONGLONG since, WCHAR *errors,
                                        DWORD chars);

namespace {

const WCHAR PRODUCT[] = L"{38E94BC3-57AA-5DF8-B193-CDFFA188F7C9}";
const WCHAR OTHER_PRODUCT[] = L"{0F5C7C58-2C4B-4E53-9A39-56B4C1D3E2A1}";
const WCHAR UPGRADE_KEY[] = L"SOFTWARE\\Zentavo Upgrade";
const WCHAR REBOOT_KEY[] = L"SOFTWARE\\Zentavo Reboot";
const MSIHANDLE SESSION = 42;

// The installer session as the action sees it.
struct Session {
    bool deferred = false;
    std::map<std::wstring, std::wstring> properties;
    std::vector<std::wstring> messages;
    std::vector<std::string> forbidden; // msi calls Windows refuses in a deferred action
    int rebootRequests = 0;
    std::wstring recordText;
} session;

UINT WINAPI FakeMsiGetPropertyW(MSIHANDLE, LPCWSTR name, LPWSTR value, LPDWORD length)
{
    std::wstring key = name;
    // A deferred action sees only these; every other property reads as empty.
    bool visible = !session.deferred || key == L"CustomActionData" || key == L"ProductCode" ||
                   key == L"UserSID";
    std::wstring text = visible && session.properties.count(key) ? session.properties[key] : L"";
    if (text.size() >= *length) {
        if (*length > 0) {
            wcsncpy(value, text.c_str(), *length - 1);
            value[*length - 1] = 0;
        }
        *length = (DWORD)text.size();
        return ERROR_MORE_DATA;
    }
    wcscpy(value, text.c_str());
    *length = (DWORD)text.size();
    return ERROR_SUCCESS;
}

MSIHANDLE WINAPI FakeMsiCreateRecord(UINT)
{
    return 7;
}

UINT WINAPI FakeMsiRecordSetStringW(MSIHANDLE, UINT field, LPCWSTR text)
{
    if (field == 1)
        session.recordText = text;
    return ERROR_SUCCESS;
}

int WINAPI FakeMsiProcessMessage(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE)
{
    session.messages.push_back(session.recordText);
    return IDOK;
}

UINT WINAPI FakeMsiCloseHandle(MSIHANDLE)
{
    return ERROR_SUCCESS;
}

UINT WINAPI FakeMsiSetMode(MSIHANDLE, MSIRUNMODE mode, BOOL state)
{
    if (session.deferred) {
        session.forbidden.push_back("MsiSetMode");
        return ERROR_FUNCTION_NOT_CALLED;
    }
    if (mode == MSIRUNMODE_REBOOTATEND && state)
        session.rebootRequests++;
    return ERROR_SUCCESS;
}

// Any other msi function the action imports: Windows fails it in a deferred call.
UINT WINAPI ForbiddenMsiCall()
{
    session.forbidden.push_back("an msi function outside the deferred list");
    return ERROR_FUNCTION_NOT_CALLED;
}

// setup.exe as the action starts it: its command line, the exit code it ends with, and the
// support log it leaves (nothing when the path is empty).
std::vector<std::wstring> started;
DWORD setupExitCode;
HANDLE fakeProcess;
std::wstring runLogPath;
std::string runLogText;

void WriteWholeFile(const std::wstring &path, const std::string &text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI FakeCreateProcessW(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                               LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                               LPPROCESS_INFORMATION process)
{
    started.push_back(commandLine);
    if (!runLogPath.empty())
        WriteWholeFile(runLogPath, runLogText);
    // Signalled events stand in for an ended process and its thread.
    process->hProcess = CreateEventW(NULL, TRUE, TRUE, NULL);
    process->hThread = CreateEventW(NULL, TRUE, TRUE, NULL);
    fakeProcess = process->hProcess;
    return TRUE;
}

BOOL WINAPI FakeGetExitCodeProcess(HANDLE process, LPDWORD code)
{
    if (process == fakeProcess) {
        *code = setupExitCode;
        return TRUE;
    }
    return SYSTEM_FUNCTION("kernel32.dll", GetExitCodeProcess)(process, code);
}

// Replaces every msi.dll import of this executable: the allowed ones by the session's fakes,
// the rest by ForbiddenMsiCall.
class MsiModel {
public:
    MsiModel()
    {
        const struct {
            const char *name;
            const void *fake;
        } allowed[] = {
            {"MsiGetPropertyW", reinterpret_cast<const void *>(&FakeMsiGetPropertyW)},
            {"MsiCreateRecord", reinterpret_cast<const void *>(&FakeMsiCreateRecord)},
            {"MsiRecordSetStringW", reinterpret_cast<const void *>(&FakeMsiRecordSetStringW)},
            {"MsiProcessMessage", reinterpret_cast<const void *>(&FakeMsiProcessMessage)},
            {"MsiCloseHandle", reinterpret_cast<const void *>(&FakeMsiCloseHandle)},
            {"MsiSetMode", reinterpret_cast<const void *>(&FakeMsiSetMode)},
        };
        BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleW(NULL));
        auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(
            base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY &dir =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
             d->Name; d++) {
            if (_stricmp(reinterpret_cast<const char *>(base + d->Name), "msi.dll") != 0 ||
                !d->OriginalFirstThunk)
                continue;
            auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
            auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
            for (; names->u1.AddressOfData; names++, slots++) {
                const void *fake = reinterpret_cast<const void *>(&ForbiddenMsiCall);
                if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                    const char *name = reinterpret_cast<const char *>(
                        reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)
                            ->Name);
                    for (const auto &a : allowed)
                        if (strcmp(a.name, name) == 0)
                            fake = a.fake;
                }
                Swap(reinterpret_cast<void **>(&slots->u1.Function), fake);
            }
        }
    }
    ~MsiModel()
    {
        for (size_t i = 0; i < slots.size(); i++)
            Write(slots[i], originals[i]);
    }
    size_t count() const
    {
        return slots.size();
    }

private:
    std::vector<void **> slots;
    std::vector<void *> originals;
    void Swap(void **slot, const void *fake)
    {
        slots.push_back(slot);
        originals.push_back(*slot);
        Write(slot, const_cast<void *>(fake));
    }
    static void Write(void **slot, void *value)
    {
        DWORD old = 0;
        VirtualProtect(slot, sizeof(void *), PAGE_READWRITE, &old);
        *slot = value;
        VirtualProtect(slot, sizeof(void *), old, &old);
    }
};

bool KeyExists(const WCHAR *key)
{
    HKEY opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

std::wstring ReadString(const WCHAR *key, const WCHAR *value)
{
    WCHAR data[512] = {};
    DWORD size = sizeof(data) - sizeof(WCHAR);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, NULL, data, &size) !=
        ERROR_SUCCESS)
        return L"<none>";
    return data;
}

bool HasMessage(const std::wstring &text)
{
    for (const auto &m : session.messages)
        if (m == text)
            return true;
    return false;
}

class SetupAction : public ::testing::Test {
protected:
    MsiModel msi;
    ImportHook process{"kernel32.dll", "CreateProcessW",
                       reinterpret_cast<const void *>(&FakeCreateProcessW)};
    ImportHook exitCode{"kernel32.dll", "GetExitCodeProcess",
                        reinterpret_cast<const void *>(&FakeGetExitCodeProcess)};
    std::wstring folder = BuildDir() + L"action-scratch\\";

    void SetUp() override
    {
        session = Session();
        started.clear();
        setupExitCode = 0;
        runLogPath.clear();
        DeleteFileW(LogPath().c_str());
        CreateDirectoryW(folder.c_str(), NULL);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, REBOOT_KEY);
    }
    void TearDown() override
    {
        DeleteFileW(LogPath().c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, REBOOT_KEY);
    }
    std::wstring LogPath() const
    {
        return folder + L"setup.log";
    }
    // The deferred action with its data "WORD|PRODUCT|FOLDER".
    UINT RunDeferred(const std::wstring &word, const WCHAR *product = PRODUCT)
    {
        session.deferred = true;
        session.properties.clear();
        session.properties[L"CustomActionData"] = word + L"|" + product + L"|" + folder;
        session.properties[L"ProductCode"] = L"{11111111-1111-1111-1111-111111111111}";
        return RunSetupTool(SESSION);
    }
    UINT RunImmediate(UINT(__stdcall *action)(MSIHANDLE),
                      const std::map<std::wstring, std::wstring> &properties)
    {
        session.deferred = false;
        session.properties = properties;
        return action(SESSION);
    }
};

// A run of setup.exe that needs a reboot is noted by the deferred action, which may not ask
// Windows Installer for it, and asked for by the immediate action after the script, once.
TEST_F(SetupAction, TheRebootIsAskedForAfterTheScriptNeverFromTheDeferredCall)
{
    ASSERT_GT(msi.count(), 0u);
    setupExitCode = 101;
    EXPECT_EQ((UINT)ERROR_SUCCESS, RunDeferred(L"install"));
    EXPECT_EQ(std::vector<std::string>{}, session.forbidden);
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(L"\"" + folder + L"setup.exe\" install nowindow", started[0]);
    EXPECT_EQ(0, session.rebootRequests);

    // Another product's note is not this one's to take.
    HKEY key;
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, NULL,
                                             REG_OPTION_VOLATILE, KEY_SET_VALUE, NULL, &key, NULL));
    RegSetValueExW(key, OTHER_PRODUCT, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one),
                   sizeof(one));
    RegCloseKey(key);

    EXPECT_EQ((UINT)ERROR_SUCCESS, RunImmediate(RequestReboot, {{L"ProductCode", PRODUCT}}));
    EXPECT_EQ(1, session.rebootRequests);
    EXPECT_TRUE(HasMessage(L"A reboot finishes the install."));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegGetValueW(HKEY_LOCAL_MACHINE, REBOOT_KEY, PRODUCT, RRF_RT_ANY, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, REBOOT_KEY, OTHER_PRODUCT, RRF_RT_ANY,
                                          NULL, NULL, NULL));

    // The note is used once; the last one taken out takes the key with it.
    RunImmediate(RequestReboot, {{L"ProductCode", PRODUCT}});
    EXPECT_EQ(1, session.rebootRequests);
    RunImmediate(RequestReboot, {{L"ProductCode", OTHER_PRODUCT}});
    EXPECT_EQ(2, session.rebootRequests);
    EXPECT_FALSE(KeyExists(REBOOT_KEY));

    // A clean run notes nothing.
    setupExitCode = 2;
    EXPECT_EQ((UINT)ERROR_SUCCESS, RunDeferred(L"uninstall"));
    RunImmediate(RequestReboot, {{L"ProductCode", PRODUCT}});
    EXPECT_EQ(2, session.rebootRequests);
    EXPECT_EQ(std::vector<std::string>{}, session.forbidden);
}

// The upgrade key written by a running installer: the removal of a version it names stops only
// the companion and takes that version's code out; the last code out takes the key with it.
TEST_F(SetupAction, ARunningUpgradesNoteIsUsedOncePerVersion)
{
    std::wstring both = std::wstring(PRODUCT) + L";" + OTHER_PRODUCT;
    RunImmediate(MarkUpgrade, {{L"WIX_UPGRADE_DETECTED", both}});
    EXPECT_EQ(both, ReadString(UPGRADE_KEY, L"Replacing"));

    setupExitCode = 6;
    EXPECT_EQ((UINT)ERROR_SUCCESS, RunDeferred(L"uninstall"));
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(L"\"" + folder + L"setup.exe\" removetray nowindow", started[0]);
    EXPECT_EQ(std::wstring(OTHER_PRODUCT), ReadString(UPGRADE_KEY, L"Replacing"));

    // Used once: a second removal of the same version is a full one.
    setupExitCode = 2;
    RunDeferred(L"uninstall");
    EXPECT_EQ(L"\"" + folder + L"setup.exe\" uninstall nowindow", started.back());

    setupExitCode = 6;
    RunDeferred(L"uninstall", OTHER_PRODUCT);
    EXPECT_EQ(L"\"" + folder + L"setup.exe\" removetray nowindow", started.back());
    EXPECT_FALSE(KeyExists(UPGRADE_KEY));
    EXPECT_EQ(std::vector<std::string>{}, session.forbidden);

    // An upgrade that rolls back takes its note out.
    RunImmediate(MarkUpgrade, {{L"WIX_UPGRADE_DETECTED", both}});
    ASSERT_TRUE(KeyExists(UPGRADE_KEY));
    session.deferred = true;
    UnmarkUpgrade(SESSION);
    EXPECT_FALSE(KeyExists(UPGRADE_KEY));
}

// A note that no running installer wrote (planted, or left by an upgrade that failed, whose
// installer has ended) names no upgrade now: it is removed, and the removal is a full one.
TEST_F(SetupAction, ANoteOfNoRunningUpgradeIsRemovedAndIgnored)
{
    struct {
        DWORD id;
        FILETIME created;
    } ended = {GetCurrentProcessId(), {1, 2}}; // this process's id, another process's start
    const struct {
        const char *what;
        const void *writer;
        DWORD writerSize;
    } cases[] = {{"no writer", nullptr, 0},
                 {"a writer that ended", &ended, sizeof(ended)},
                 {"a writer value of the wrong size", &ended, 4}};
    for (const auto &c : cases) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, UPGRADE_KEY, 0, NULL, REG_OPTION_VOLATILE,
                                  KEY_SET_VALUE, NULL, &key, NULL));
        RegSetValueExW(key, L"Replacing", 0, REG_SZ, reinterpret_cast<const BYTE *>(PRODUCT),
                       sizeof(PRODUCT));
        if (c.writer)
            RegSetValueExW(key, L"Installer", 0, REG_BINARY, static_cast<const BYTE *>(c.writer),
                           c.writerSize);
        RegCloseKey(key);
        session.messages.clear();
        setupExitCode = 2;
        EXPECT_EQ((UINT)ERROR_SUCCESS, RunDeferred(L"uninstall")) << c.what;
        EXPECT_EQ(L"\"" + folder + L"setup.exe\" uninstall nowindow", started.back()) << c.what;
        EXPECT_FALSE(KeyExists(UPGRADE_KEY)) << c.what;
        EXPECT_TRUE(HasMessage(
            L"The upgrade key names no upgrade that runs now: it is removed and ignored."))
            << c.what;
    }
}

// A run that reported errors is followed in the installer's log by its own run of the support
// log, found by the tool's rule for a run's header, and by nothing when the file holds no run
// that this one wrote and ended with its code. The installer program's call finds that run's
// error reports by the same rules.
TEST_F(SetupAction, ARunThatReportedErrorsIsFollowedByItsOwnRunOfTheSupportLog)
{
    const std::string BOM = "\xEF\xBB\xBF";
    const std::string OLD_RUN =
        "=== 2026-01-02 03:04:05 build 2550 old\r\nOld line\r\n=== exit code 1\r\n";
    const std::string NEW_RUN =
        "=== 2026-01-02 03:04:06 build 2551 \"x\" install\r\n"
        "Nyomtat\xC3\xB3 [1]\r\n === 2026 a line that only looks like a header\r\n"
        "    Error(15): Can`t add printer 'Nyomtat\xC3\xB3' - (Access denied.)\r\n"
        "  Error(4): Spooler\r\nNo Error(5) here\r\n=== exit code 100\r\n";
    const std::vector<std::wstring> NEW_LINES = {
        L"=== 2026-01-02 03:04:06 build 2551 \"x\" install",
        L"Nyomtat\u00F3 [1]",
        L" === 2026 a line that only looks like a header",
        L"    Error(15): Can`t add printer 'Nyomtat\u00F3' - (Access denied.)",
        L"  Error(4): Spooler",
        L"No Error(5) here",
        L"=== exit code 100"};
    const std::wstring NEW_ERRORS =
        L"Error(15): Can`t add printer 'Nyomtat\u00F3' - (Access denied.)\r\nError(4): Spooler";
    const std::vector<std::wstring> NOT_THERE = {};
    // Past the size the action reads, the front is cut in a line.
    const std::string FILLER(2 * 1024 * 1024, 'x');
    const struct {
        const char *what;
        std::string before; // planted, older than the run; empty: no file
        bool runWrites;
        std::string written;
        const std::vector<std::wstring> &lines;
    } rows[] = {
        {"the last of two runs", "", true, BOM + OLD_RUN + NEW_RUN, NEW_LINES},
        {"the one run after the byte-order mark", "", true, BOM + NEW_RUN, NEW_LINES},
        {"a file without a byte-order mark", "", true, NEW_RUN, NEW_LINES},
        {"a run after a file's end past the size read", "", true, BOM + FILLER + "\r\n" + NEW_RUN,
         NEW_LINES},
        {"a last run that ended with another code", "", true, BOM + NEW_RUN + OLD_RUN, NOT_THERE},
        {"a run that did not end", "", true, BOM + NEW_RUN.substr(0, 60), NOT_THERE},
        {"a run with errors that ended with another code", "", true,
         BOM + NEW_RUN.substr(0, NEW_RUN.size() - 5) + "101\r\n", NOT_THERE},
        {"no run header", "", true, BOM + "Line\r\n=== exit code 100\r\n", NOT_THERE},
        {"a file the run did not write", BOM + NEW_RUN, false, "", NOT_THERE},
        {"no file", "", false, "", NOT_THERE},
    };
    for (const auto &row : rows) {
        DeleteFileW(LogPath().c_str());
        if (!row.before.empty()) {
            WriteWholeFile(LogPath(), row.before);
            HANDLE file = CreateFileW(LogPath().c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL,
                                      OPEN_EXISTING, 0, NULL);
            FILETIME old = {0, 0x01D00000};
            SetFileTime(file, NULL, NULL, &old);
            CloseHandle(file);
        }
        runLogPath = row.runWrites ? LogPath() : L"";
        runLogText = row.written;
        session.messages.clear();
        setupExitCode = 100;
        ULARGE_INTEGER started;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        started.LowPart = now.dwLowDateTime;
        started.HighPart = now.dwHighDateTime;
        EXPECT_EQ((UINT)ERROR_INSTALL_FAILURE, RunDeferred(L"install")) << row.what;
        WCHAR errors[256] = L"sentinel";
        EXPECT_EQ(row.lines.empty() ? 0u : 2u,
                  LastRunErrors(LogPath().c_str(), started.QuadPart, errors, 256))
            << row.what;
        EXPECT_EQ(row.lines.empty() ? L"" : NEW_ERRORS, std::wstring(errors)) << row.what;
        std::vector<std::wstring> copied;
        const std::wstring follows = L"setup.exe install reported errors; its log follows.";
        for (size_t i = 0; i < session.messages.size(); i++)
            if (session.messages[i] == follows)
                copied.assign(session.messages.begin() + (long)i + 1, session.messages.end());
        std::vector<std::wstring> expected;
        if (row.lines.empty()) {
            expected.push_back(L"The log of this run is not in " + LogPath() + L".");
        } else {
            expected.push_back(LogPath() + L", this run:");
            expected.insert(expected.end(), row.lines.begin(), row.lines.end());
        }
        EXPECT_EQ(expected, copied) << row.what;
    }
}

// The rollback of a failed first install: the tool's support log goes, then the folders that are
// empty, but only from folders that only administrators can change, where no one could have put
// a link in the log's place. (Wine shows others' write access, which a null access list gives,
// as an Everyone entry.)
TEST_F(SetupAction, AFailedFirstInstallsFoldersGoOnlyWhenOnlyAdministratorsCanChangeThem)
{
    const std::wstring companion = folder + L"Zentavo\\", tool = companion + L"Setup\\";
    const struct {
        const char *what;
        bool open;
        bool otherFile;
        bool logStays, toolFolderStays, companionFolderStays;
    } rows[] = {
        {"a folder only administrators can change", false, false, false, false, false},
        {"a folder others can change", true, false, true, true, true},
        {"a companion's folder that holds another file", false, true, false, false, true},
    };
    for (const auto &row : rows) {
        CreateDirectoryW(companion.c_str(), NULL);
        CreateDirectoryW(tool.c_str(), NULL);
        WriteWholeFile(tool + L"setup.log", "=== exit code 100\r\n");
        if (row.otherFile)
            WriteWholeFile(companion + L"zentray.log", "started\r\n");
        if (row.open) {
            ASSERT_EQ((DWORD)ERROR_SUCCESS,
                      SetNamedSecurityInfoW(const_cast<WCHAR *>(tool.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL))
                << row.what;
        }
        session.deferred = true;
        session.properties.clear();
        session.properties[L"CustomActionData"] = tool;
        EXPECT_EQ((UINT)ERROR_SUCCESS, RemoveFailedInstallFolders(SESSION)) << row.what;
        EXPECT_EQ(row.logStays,
                  GetFileAttributesW((tool + L"setup.log").c_str()) != INVALID_FILE_ATTRIBUTES)
            << row.what;
        EXPECT_EQ(row.toolFolderStays, GetFileAttributesW(tool.c_str()) != INVALID_FILE_ATTRIBUTES)
            << row.what;
        EXPECT_EQ(row.companionFolderStays,
                  GetFileAttributesW(companion.c_str()) != INVALID_FILE_ATTRIBUTES)
            << row.what;
        EXPECT_EQ(std::vector<std::string>{}, session.forbidden) << row.what;
        DeleteFileW((tool + L"setup.log").c_str());
        DeleteFileW((companion + L"zentray.log").c_str());
        RemoveDirectoryW(tool.c_str());
        RemoveDirectoryW(companion.c_str());
    }
}

// The security each path is given, as SDDL, found by where the checked handle leads; other
// paths get the real call's.
std::map<std::wstring, std::wstring> logDescriptors;
DWORD WINAPI LogGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                                PSECURITY_DESCRIPTOR *descriptor)
{
    WCHAR reached[MAX_PATH + 8] = {};
    GetFinalPathNameByHandleW(handle, reached, MAX_PATH + 8, VOLUME_NAME_DOS);
    auto found = logDescriptors.find(wcsncmp(reached, L"\\\\?\\", 4) == 0 ? reached + 4 : reached);
    if (found != logDescriptors.end())
        return DescriptorFromSddl(found->second.c_str(), owner, group, dacl, sacl, descriptor);
    return SYSTEM_FUNCTION("advapi32.dll", GetSecurityInfo)(handle, type, what, owner, group, dacl,
                                                            sacl, descriptor);
}

// The file's text with each line's leading time stamp ("YYYY-MM-DD hh:mm:ss ") taken out.
std::string Unstamped(const std::string &text)
{
    std::string result;
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    result = text.substr(0, at);
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line =
            text.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
        if (line.size() >= 20 && isdigit((unsigned char)line[0]) && line[4] == '-' &&
            line[10] == ' ' && line[13] == ':' && line[19] == ' ')
            line.erase(0, 20);
        result += line;
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return result;
}

// The installer program's log goes only where the tool would write its own: a plain path, no
// link, no file others can change, setup.log only in folders only administrators can change;
// its lines are the tool's file lines behind a time stamp, and a foreign log only grows.
TEST_F(SetupAction, TheInstallerLogIsWrittenOnlyByTheSupportLogsRules)
{
    ImportHook security("advapi32.dll", "GetSecurityInfo",
                        reinterpret_cast<const void *>(&LogGetSecurityInfo));
    const std::string BOM = "\xEF\xBB\xBF";
    const std::string LINES = "installer: one\r\n=== 2026 not a run\r\nbell\xEF\xBF\xBDhere\r\n";
    const std::wstring OPEN = L"O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)";
    std::wstring bare = folder.substr(0, folder.size() - 1);
    std::wstring parent = bare.substr(0, bare.rfind(L'\\'));
    const struct {
        const char *what;
        std::wstring path;
        UINT supportLog;
        std::string before;                // "<missing>": no file
        std::wstring fileSddl, parentSddl; // empty: the real security
        bool hardLink;
        UINT outcome;
        std::string after;
    } rows[] = {
        {"a new log", folder + L"installer.log", 0, "<missing>", L"", L"", false, 0, BOM + LINES},
        {"a relative path", L"installer.log", 0, "<missing>", L"", L"", false, 1, "<missing>"},
        {"a folder that is not there", folder + L"missing\\installer.log", 0, "<missing>", L"", L"",
         false, 3, "<missing>"},
        {"a file others can change", folder + L"installer.log", 0, "old\r\n", OPEN, L"", false, 1,
         "old\r\n"},
        {"a foreign file without a mark", folder + L"installer.log", 0, "old line\r\n", L"", L"",
         false, 0, "old line\r\n" + LINES},
        {"a file with a second hard link", folder + L"installer.log", 0, "old\r\n", L"", L"", true,
         2, "old\r\n"},
        {"setup.log below a folder others can change", folder + L"setup.log", 1, "<missing>", L"",
         OPEN, false, 1, "<missing>"},
        {"setup.log in trusted folders", folder + L"setup.log", 1, "<missing>", L"", L"", false, 0,
         BOM + LINES},
    };
    const std::wstring link = folder + L"second-link.log";
    for (const auto &row : rows) {
        logDescriptors.clear();
        DeleteFileW(link.c_str());
        DeleteFileW((folder + L"installer.log").c_str());
        DeleteFileW(LogPath().c_str());
        if (row.before != "<missing>")
            WriteWholeFile(row.path, row.before);
        if (row.hardLink) {
            ASSERT_TRUE(CreateHardLinkW(link.c_str(), row.path.c_str(), NULL)) << row.what;
        }
        if (!row.fileSddl.empty())
            logDescriptors[row.path] = row.fileSddl;
        if (!row.parentSddl.empty())
            logDescriptors[parent] = row.parentSddl;
        EXPECT_EQ(row.outcome,
                  AppendInstallerLog(row.path.c_str(),
                                     L"installer: one\r\n=== 2026 not a run\r\nbell\x07here",
                                     row.supportLog))
            << row.what;
        EXPECT_EQ(row.after,
                  Unstamped(ReadWholeFile(row.path[1] == L':' ? row.path : folder + row.path)))
            << row.what;
    }
    DeleteFileW(link.c_str());
    DeleteFileW((folder + L"installer.log").c_str());
}

// The action's data as the package's table writes it: a word, a product code and a folder. Data
// that is malformed, lacks a field, or names a word or a folder the action does not run is
// refused, so that nothing is started from it.
TEST(ActionData, ParsesTheWordTheProductAndAnAbsoluteFolderOrRefuses)
{
    const struct {
        const WCHAR *data;
        const WCHAR *word; // null: refused
        const WCHAR *folder;
    } rows[] = {
        {L"install|{P}|C:\\Program Files\\Zentavo\\Setup", L"install",
         L"C:\\Program Files\\Zentavo\\Setup\\"},
        // The folder's closing backslash is kept, not doubled.
        {L"in_notray|{P}|C:\\Setup\\", L"in_notray", L"C:\\Setup\\"},
        {L"uninstall|{P}|C:\\Setup", L"uninstall", L"C:\\Setup\\"},
        {L"removetray|{P}|C:\\Setup", L"removetray", L"C:\\Setup\\"},
        {L"", nullptr, nullptr},
        {L"install", nullptr, nullptr},
        {L"install|{P}", nullptr, nullptr},
        {L"install|{P}|", nullptr, nullptr},
        {L"|{P}|C:\\Setup", nullptr, nullptr},
        // The words as the table writes them: no other case, no prefix, no alias of the tool's.
        {L"Install|{P}|C:\\Setup", nullptr, nullptr},
        {L"instal|{P}|C:\\Setup", nullptr, nullptr},
        {L"installs|{P}|C:\\Setup", nullptr, nullptr},
        {L"un|{P}|C:\\Setup", nullptr, nullptr},
        // Folders the tool's path rule refuses: relative, shared, leaving the folder, or one
        // that a fourth field ran into.
        {L"install|{P}|Setup", nullptr, nullptr},
        {L"install|{P}|\\\\server\\share", nullptr, nullptr},
        {L"install|{P}|C:\\Setup\\..\\Windows", nullptr, nullptr},
        {L"install|{P}|C:\\Setup\\\\", nullptr, nullptr},
        {L"install|{P}|C:\\Setup|D:\\Other", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        std::wstring what = row.data;
        const SetupCommand *command = nullptr;
        CountedString product = NULL;
        CountedString folder = NULL;
        bool parsed = ParseActionData(row.data, &command, &product, &folder);
        EXPECT_EQ(row.word != nullptr, parsed) << what;
        if (parsed && row.word) {
            EXPECT_EQ(std::wstring(row.word), command->word) << what;
            EXPECT_EQ(std::wstring(L"{P}"), StringText(product)) << what;
            EXPECT_EQ(std::wstring(row.folder), StringText(folder)) << what;
        }
        FreeString(&product);
        FreeString(&folder);
    }
}

// What each exit code of setup.exe means for the command the package ran: only that command's
// own code is its clean run; the reboot and the reported errors hold for every command; any
// other code, another command's included, is unexpected.
TEST(ExitCodes, MapToTheCommandsOutcome)
{
    const struct {
        const WCHAR *word;
        DWORD code;
        SetupOutcome outcome;
    } rows[] = {
        {L"install", 1, SETUP_DONE},
        {L"in_notray", 1, SETUP_DONE},
        {L"uninstall", 2, SETUP_DONE},
        {L"removetray", 6, SETUP_DONE},
        {L"install", 2, SETUP_UNEXPECTED},
        {L"uninstall", 1, SETUP_UNEXPECTED},
        {L"removetray", 1, SETUP_UNEXPECTED},
        {L"install", 6, SETUP_UNEXPECTED}, // the tool did not know the word
        {L"install", 101, SETUP_REBOOT_NEEDED},
        {L"uninstall", 101, SETUP_REBOOT_NEEDED},
        {L"install", 100, SETUP_ERRORS},
        {L"uninstall", 100, SETUP_ERRORS},
        {L"install", 0, SETUP_UNEXPECTED},
        {L"uninstall", 200, SETUP_UNEXPECTED}, // a probe's code
        {L"install", 102, SETUP_UNEXPECTED},
        {L"install", 0xC0000005, SETUP_UNEXPECTED}, // a crash
    };
    for (const auto &row : rows) {
        std::wstring what = std::wstring(row.word) + L" " + std::to_wstring(row.code);
        const SetupCommand *command = FindSetupCommand(row.word, wcslen(row.word));
        ASSERT_NE(nullptr, command) << what;
        EXPECT_EQ(row.outcome, MapExitCode(command, row.code)) << what;
    }
}

// The built package's condition of SetupInstall, the deferred action that runs setup.exe as
// LocalSystem, against Windows Installer's rule for AdminUser, which Wine does not model (every
// user is an administrator there): AdminUser equals Privileged unless MSIUSEREALADMINDETECTION
// is 1, and Privileged is 1 for anyone in a managed (per-machine) product's maintenance runs.
// So only a first install, or a maintenance run of a real administrator, may reach it. The
// feature states (&Tray, !Tray), which a session outside an install cannot hold, are read from
// properties of the same values.
TEST(SetupInstallCondition, OnAnInstalledProductOnlyARealAdministratorReachesIt)
{
    const std::wstring package = BuildDir() + L"bin\\zentavo.msi";
    MSIHANDLE database = 0, view = 0, record = 0;
    ASSERT_EQ((UINT)ERROR_SUCCESS,
              MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database));
    auto query = [&](const WCHAR *sql) {
        std::wstring value;
        WCHAR text[1024] = L"";
        DWORD length = 1024;
        if (MsiDatabaseOpenViewW(database, sql, &view) == ERROR_SUCCESS &&
            MsiViewExecute(view, 0) == ERROR_SUCCESS &&
            MsiViewFetch(view, &record) == ERROR_SUCCESS &&
            MsiRecordGetStringW(record, 1, text, &length) == ERROR_SUCCESS)
            value = text;
        MsiCloseHandle(record);
        MsiCloseHandle(view);
        return value;
    };
    std::wstring condition =
        query(L"SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = 'SetupInstall'");
    bool realDetection =
        query(L"SELECT `Value` FROM `Property` WHERE `Property` = 'MSIUSEREALADMINDETECTION'") ==
        L"1";
    MsiCloseHandle(database);
    ASSERT_NE(L"", condition);
    for (const auto &feature : {std::make_pair(std::wstring(L"&Tray"), L"TRAY_ACTION"),
                                std::make_pair(std::wstring(L"!Tray"), L"TRAY_INSTALLED")})
        for (size_t at = condition.find(feature.first); at != std::wstring::npos;
             at = condition.find(feature.first))
            condition.replace(at, feature.first.size(), feature.second);

    MSIHANDLE session = 0;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, NULL);
    ASSERT_EQ((UINT)ERROR_SUCCESS, MsiOpenPackageW(package.c_str(), &session));
    const WCHAR *ABSENT = L"2", *LOCAL = L"3", *UNCHANGED = L"-1";
    const struct {
        const char *what;
        bool administrator;
        const WCHAR *installed, *reinstall, *remove, *trayAction, *trayInstalled;
        bool runs;
    } rows[] = {
        {"a first install (an upgrade is one)", true, L"", L"", L"", LOCAL, L"", true},
        {"an administrator's repair", true, L"1", L"ALL", L"", LOCAL, LOCAL, true},
        {"a standard user's repair", false, L"1", L"ALL", L"", LOCAL, LOCAL, false},
        {"an administrator adds the companion", true, L"1", L"", L"", LOCAL, ABSENT, true},
        {"a standard user adds the companion", false, L"1", L"", L"", LOCAL, ABSENT, false},
        {"an administrator removes the companion", true, L"1", L"", L"", ABSENT, LOCAL, true},
        {"a standard user removes the companion", false, L"1", L"", L"", ABSENT, LOCAL, false},
        {"a plain second install", true, L"1", L"", L"", UNCHANGED, LOCAL, false},
        {"a removal", true, L"1", L"", L"ALL", ABSENT, LOCAL, false},
    };
    for (const auto &row : rows) {
        const WCHAR *adminUser = row.administrator || !realDetection ? L"1" : L"";
        const std::pair<const WCHAR *, const WCHAR *> properties[] = {
            {L"Installed", row.installed},
            {L"REINSTALL", row.reinstall},
            {L"REMOVE", row.remove},
            {L"AdminUser", adminUser},
            {L"Privileged", L"1"},
            {L"TRAY_ACTION", row.trayAction},
            {L"TRAY_INSTALLED", row.trayInstalled}};
        for (const auto &property : properties)
            ASSERT_EQ((UINT)ERROR_SUCCESS,
                      MsiSetPropertyW(session, property.first, property.second))
                << row.what;
        EXPECT_EQ(row.runs ? MSICONDITION_TRUE : MSICONDITION_FALSE,
                  MsiEvaluateConditionW(session, condition.c_str()))
            << row.what << ": " << std::string(condition.begin(), condition.end());
    }
    MsiCloseHandle(session);
}

// NOTRAY=1 against the old version's feature states: on an upgrade MigrateFeatureStates gives the
// new version's features the old one's states, unless Preselected is set, which the installer
// sets when feature states are asked for by ADDLOCAL and its kin. Wine's msiexec migrates none,
// so the upgrade cannot show it; the built package's own custom actions before
// MigrateFeatureStates and the costing actions, run in a session of Windows Installer, show what
// that action then meets.
TEST(TrayChoice, NotrayHoldsAgainstTheOldVersionsFeatureStates)
{
    const std::wstring package = BuildDir() + L"bin\\zentavo.msi";
    MsiSetInternalUI(INSTALLUILEVEL_NONE, NULL);
    for (bool notray : {false, true}) {
        MSIHANDLE session = 0, database = 0, view = 0, record = 0;
        ASSERT_EQ((UINT)ERROR_SUCCESS, MsiOpenPackageW(package.c_str(), &session));
        if (notray)
            MsiSetPropertyW(session, L"NOTRAY", L"1");
        database = MsiGetActiveDatabase(session);
        std::vector<std::pair<std::wstring, std::wstring>> actions;
        ASSERT_EQ((UINT)ERROR_SUCCESS,
                  MsiDatabaseOpenViewW(
                      database,
                      L"SELECT `InstallExecuteSequence`.`Action`, "
                      L"`InstallExecuteSequence`.`Condition`, `InstallExecuteSequence`.`Sequence` "
                      L"FROM `InstallExecuteSequence`, `CustomAction` WHERE "
                      L"`InstallExecuteSequence`.`Action` = `CustomAction`.`Action` "
                      L"ORDER BY `InstallExecuteSequence`.`Sequence`",
                      &view));
        MsiViewExecute(view, 0);
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            WCHAR action[80] = L"", condition[512] = L"";
            DWORD actionLength = 80, conditionLength = 512;
            MsiRecordGetStringW(record, 1, action, &actionLength);
            MsiRecordGetStringW(record, 2, condition, &conditionLength);
            if (MsiRecordGetInteger(record, 3) < 1200) // MigrateFeatureStates
                actions.push_back({action, condition});
            MsiCloseHandle(record);
        }
        MsiCloseHandle(view);
        MsiCloseHandle(database);
        for (const auto &action : actions) {
            if (action.second.empty() ||
                MsiEvaluateConditionW(session, action.second.c_str()) == MSICONDITION_TRUE) {
                EXPECT_EQ((UINT)ERROR_SUCCESS, MsiDoActionW(session, action.first.c_str()));
            }
        }
        for (const WCHAR *costing : {L"CostInitialize", L"FileCost", L"CostFinalize"})
            ASSERT_EQ((UINT)ERROR_SUCCESS, MsiDoActionW(session, costing));

        WCHAR preselected[8] = L"";
        DWORD length = 8;
        MsiGetPropertyW(session, L"Preselected", preselected, &length);
        INSTALLSTATE installed, printer, tray;
        ASSERT_EQ((UINT)ERROR_SUCCESS,
                  MsiGetFeatureStateW(session, L"Printer", &installed, &printer));
        ASSERT_EQ((UINT)ERROR_SUCCESS, MsiGetFeatureStateW(session, L"Tray", &installed, &tray));
        EXPECT_EQ(INSTALLSTATE_LOCAL, printer) << notray;
        if (notray) {
            // Nothing left for MigrateFeatureStates to decide.
            EXPECT_EQ(std::wstring(L"1"), preselected);
            EXPECT_NE(INSTALLSTATE_LOCAL, tray);
        } else {
            // The companion by default, and on an upgrade the old version's choice.
            EXPECT_EQ(std::wstring(L""), preselected);
            EXPECT_EQ(INSTALLSTATE_LOCAL, tray);
        }
        MsiCloseHandle(session);
    }
}

} // namespace
