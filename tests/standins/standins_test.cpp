// The stand-in components and tools on their own, before any scenario relies on them.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "document_property_header.h"
#include "last_error.h"
#include "test_paths.h"

namespace {

std::wstring StandinPath(const wchar_t *relative)
{
    return BuildDir() + L"standins\\" + relative;
}

typedef LPMONITOR2(WINAPI *InitializeFunction)(PMONITORINIT, PHANDLE);
typedef LONG(WINAPI *PropertySheetsFunction)(void *, LPARAM);
typedef DWORD(WINAPI *CapabilitiesFunction)(HANDLE, PWSTR, WORD, void *, PDEVMODEW);

int ProductBuild(const std::wstring &path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return -1;
    std::string data(size, '\0');
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, &data[0]) ||
        !VerQueryValueW(&data[0], L"\\", reinterpret_cast<void **>(&info), &length))
        return -1;
    return LOWORD(info->dwProductVersionLS);
}

TEST(StandinComponents, BuildsReadBackFromTheVersionResource)
{
    EXPECT_EQ(2551, ProductBuild(StandinPath(L"default\\tvlmon64.dll")));
    EXPECT_EQ(2551, ProductBuild(StandinPath(L"default\\tvldrv64.dll")));
    EXPECT_EQ(2551, ProductBuild(StandinPath(L"default\\tvlui64.dll")));
    EXPECT_EQ(2450, ProductBuild(StandinPath(L"monitor-2450\\tvlmon64.dll")));
    EXPECT_EQ(2451, ProductBuild(StandinPath(L"monitor-2451\\tvlmon64.dll")));
    EXPECT_EQ(2551, ProductBuild(StandinPath(L"monitor-2551\\tvlmon64.dll")));
    EXPECT_EQ(2552, ProductBuild(StandinPath(L"monitor-2552\\tvlmon64.dll")));
    EXPECT_EQ(-1, ProductBuild(StandinPath(L"monitor-noversion\\tvlmon64.dll")));
    EXPECT_EQ(2450, ProductBuild(StandinPath(L"driver-2450\\tvldrv64.dll")));
    EXPECT_EQ(2451, ProductBuild(StandinPath(L"driver-2451\\tvldrv64.dll")));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesW(StandinPath(L"default\\tvlhelp.chm").c_str()));
}

// The spooler loads, initialises, enumerates, shuts down and unloads the monitor on every port
// enumeration; each round here does the same, plus one print job through the port.
TEST(StandinMonitor, SurvivesRepeatedLoadAndServesItsOnePort)
{
    std::wstring path = StandinPath(L"default\\tvlmon64.dll");
    for (int round = 0; round < 20; round++) {
        HMODULE module = LoadLibraryW(path.c_str());
        ASSERT_NE(nullptr, module) << GetLastError();
        auto initialize = reinterpret_cast<InitializeFunction>(
            reinterpret_cast<void *>(GetProcAddress(module, "InitializePrintMonitor2")));
        ASSERT_NE(nullptr, initialize);
        MONITORINIT init = {};
        init.cbSize = sizeof(init);
        init.bLocal = TRUE;
        HANDLE monitor = NULL;
        MONITOR2 *table = initialize(&init, &monitor);
        ASSERT_NE(nullptr, table);
        EXPECT_GE(table->cbSize, (DWORD)MONITOR2_SIZE_WIN2K);

        DWORD needed = 0, returned = 7;
        SeedLastError();
        EXPECT_FALSE(table->pfnEnumPorts(monitor, NULL, 1, NULL, 0, &needed, &returned));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        EXPECT_EQ(0u, returned);
        ASSERT_GT(needed, (DWORD)sizeof(PORT_INFO_1W));
        BYTE buffer[512];
        ASSERT_TRUE(
            table->pfnEnumPorts(monitor, NULL, 2, buffer, sizeof(buffer), &needed, &returned));
        ASSERT_EQ(1u, returned);
        PORT_INFO_2W *port = reinterpret_cast<PORT_INFO_2W *>(buffer);
        EXPECT_STREQ(L"Zentavo:", port->pPortName);
        EXPECT_STREQ(L"Zentavo:", port->pMonitorName);
        EXPECT_TRUE((BYTE *)port->pDescription > buffer &&
                    (BYTE *)port->pDescription < buffer + needed);
        SeedLastError();
        EXPECT_FALSE(
            table->pfnEnumPorts(monitor, NULL, 3, buffer, sizeof(buffer), &needed, &returned));
        EXPECT_EQ((DWORD)ERROR_INVALID_LEVEL, GetLastError());

        HANDLE handle = NULL;
        EXPECT_FALSE(table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"LPT1:"), &handle));
        ASSERT_TRUE(table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"Zentavo:"), &handle));
        EXPECT_TRUE(table->pfnStartDocPort(handle, const_cast<LPWSTR>(L"Zentavo"), 1, 1, NULL));
        BYTE data[100] = {};
        DWORD written = 0;
        EXPECT_TRUE(table->pfnWritePort(handle, data, sizeof(data), &written));
        EXPECT_EQ(sizeof(data), written);
        EXPECT_TRUE(table->pfnEndDocPort(handle));
        EXPECT_TRUE(table->pfnClosePort(handle));
        table->pfnShutdown(monitor);
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST(StandinDriverSettings, AnswersTheDevModeSizeThenFillsTheRecord)
{
    HMODULE module = LoadLibraryW(StandinPath(L"default\\tvlui64.dll").c_str());
    ASSERT_NE(nullptr, module) << GetLastError();
    auto sheets = reinterpret_cast<PropertySheetsFunction>(
        reinterpret_cast<void *>(GetProcAddress(module, "DrvDocumentPropertySheets")));
    auto capabilities = reinterpret_cast<CapabilitiesFunction>(
        reinterpret_cast<void *>(GetProcAddress(module, "DrvDeviceCapabilities")));
    ASSERT_NE(nullptr, sheets);
    ASSERT_NE(nullptr, capabilities);

    DOCUMENTPROPERTYHEADER header = {};
    header.cbSize = sizeof(header);
    header.pszPrinterName = const_cast<LPWSTR>(L"Zentavo");
    EXPECT_EQ((LONG)sizeof(DEVMODEW), sheets(NULL, reinterpret_cast<LPARAM>(&header)));

    DEVMODEW out;
    memset(&out, 0xCC, sizeof(out));
    header.pdmOut = &out;
    header.fMode = DM_OUT_BUFFER;
    EXPECT_EQ(IDOK, sheets(NULL, reinterpret_cast<LPARAM>(&header)));
    EXPECT_STREQ(L"Zentavo", out.dmDeviceName);
    EXPECT_EQ(sizeof(DEVMODEW), out.dmSize);
    EXPECT_EQ(0, out.dmDriverExtra);
    EXPECT_EQ(DMPAPER_A4, out.dmPaperSize);
    EXPECT_EQ(DMORIENT_PORTRAIT, out.dmOrientation);

    DEVMODEW in = out;
    in.dmOrientation = DMORIENT_LANDSCAPE;
    header.pdmIn = &in;
    header.fMode = DM_IN_BUFFER | DM_OUT_BUFFER;
    EXPECT_EQ(IDOK, sheets(NULL, reinterpret_cast<LPARAM>(&header)));
    EXPECT_EQ(DMORIENT_LANDSCAPE, out.dmOrientation);

    WORD papers[8] = {};
    EXPECT_EQ(2u, capabilities(NULL, NULL, DC_PAPERS, papers, NULL));
    EXPECT_EQ(DMPAPER_A4, papers[0]);
    EXPECT_EQ(sizeof(DEVMODEW), capabilities(NULL, NULL, DC_SIZE, NULL, NULL));
    FreeLibrary(module);
}

// A private copy of a stand-in program in a fresh temporary folder, removed with its files.
struct ScratchFolder {
    std::wstring dir;
    ScratchFolder()
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir = std::wstring(temp) + L"standins-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(dir.c_str(), NULL);
    }
    ~ScratchFolder()
    {
        RemoveFolder(dir);
    }
    std::wstring ReadFile(const wchar_t *name) const
    {
        HANDLE file = CreateFileW((dir + name).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return L"";
        char buffer[4096];
        DWORD read = 0;
        ::ReadFile(file, buffer, sizeof(buffer), &read, NULL);
        CloseHandle(file);
        return std::wstring(buffer, buffer + read);
    }
};

struct Process {
    PROCESS_INFORMATION info = {};
    HANDLE output = NULL; // read end of the child's standard output, when captured

    bool Start(const std::wstring &path, const std::wstring &arguments, bool captureOutput)
    {
        std::wstring commandLine = L"\"" + path + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        HANDLE childOutput = NULL;
        if (captureOutput) {
            SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
            if (!CreatePipe(&output, &childOutput, &inherit, 0))
                return false;
            SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = childOutput;
            startup.hStdError = childOutput;
        }
        BOOL started = CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, captureOutput, 0,
                                      NULL, NULL, &startup, &info);
        if (childOutput != NULL)
            CloseHandle(childOutput);
        return started != FALSE;
    }
    std::string ReadLine()
    {
        std::string line;
        char c;
        DWORD read;
        while (::ReadFile(output, &c, 1, &read, NULL) && read == 1 && c != '\n')
            line += c;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    DWORD Wait(DWORD ms)
    {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(info.hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
    ~Process()
    {
        if (info.hProcess != NULL && Wait(0) == STILL_ACTIVE) {
            TerminateProcess(info.hProcess, 255);
            WaitForSingleObject(info.hProcess, 5000);
        }
        if (info.hProcess != NULL) {
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
        if (output != NULL)
            CloseHandle(output);
    }
};

const wchar_t COMPANION_MUTEX[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const wchar_t COMPANION_CLASS[] = L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const UINT COMPANION_QUIT = 0x0402;

// Polls for the companion's window, for at most 10 s of a real process starting up.
HWND WaitForCompanionWindow(Process &companion)
{
    for (int i = 0; i < 200; i++) {
        HWND window = FindWindowW(COMPANION_CLASS, NULL);
        if (window != NULL || companion.Wait(0) != STILL_ACTIVE)
            return window;
        Sleep(50);
    }
    return NULL;
}

class TrayCompanion : public ::testing::Test {
protected:
    ScratchFolder folder;
    std::wstring program;

    void SetUp() override
    {
        program = folder.dir + L"zentray.exe";
        ASSERT_TRUE(CopyFileW(StandinPath(L"zentray.exe").c_str(), program.c_str(), FALSE));
    }
    // Starts the companion and waits for its window. Without a display it makes none and says
    // so in its log: then `window` stays null and the caller skips.
    ::testing::AssertionResult Launch(Process &companion, HWND *window)
    {
        if (!companion.Start(program, L"", false))
            return ::testing::AssertionFailure() << "the companion did not start";
        *window = WaitForCompanionWindow(companion);
        std::wstring log = folder.ReadFile(L"zentray.log");
        if (*window == NULL && log.find(L" no window ") != std::wstring::npos)
            return ::testing::AssertionSuccess();
        if (*window == NULL)
            return ::testing::AssertionFailure()
                   << "no companion window; companion log: " << std::string(log.begin(), log.end());
        return ::testing::AssertionSuccess();
    }
};

TEST_F(TrayCompanion, QuitsOnTheQuitRequestAndReleasesItsMutex)
{
    Process companion;
    HWND window = NULL;
    ASSERT_TRUE(Launch(companion, &window));
    if (window == NULL)
        GTEST_SKIP() << "no display: the companion cannot make its window";
    SeedLastError();
    HANDLE mutex = CreateMutexW(NULL, FALSE, COMPANION_MUTEX);
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(nullptr, GetParent(window));

    Process second;
    ASSERT_TRUE(second.Start(program, L"", false));
    EXPECT_EQ(3u, second.Wait(10000)) << "a second companion must leave at once";

    ASSERT_TRUE(PostMessageW(window, COMPANION_QUIT, 0, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 10000));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    EXPECT_EQ(0u, companion.Wait(10000));
    std::wstring log = folder.ReadFile(L"zentray.log");
    EXPECT_NE(std::wstring::npos, log.find(L" start pid="));
    EXPECT_NE(std::wstring::npos, log.find(L" already running pid="));
    EXPECT_NE(std::wstring::npos, log.find(L" stop pid="));
}

TEST_F(TrayCompanion, StubbornOneIgnoresTheQuitRequestButNotWmClose)
{
    HANDLE marker = CreateFileW((folder.dir + L"zentray.stubborn").c_str(), GENERIC_WRITE, 0, NULL,
                                CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, marker);
    CloseHandle(marker);
    Process companion;
    HWND window = NULL;
    ASSERT_TRUE(Launch(companion, &window));
    if (window == NULL)
        GTEST_SKIP() << "no display: the companion cannot make its window";
    HANDLE mutex = CreateMutexW(NULL, FALSE, COMPANION_MUTEX);
    ASSERT_NE(nullptr, mutex);

    ASSERT_TRUE(PostMessageW(window, COMPANION_QUIT, 0, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mutex, 1500));
    EXPECT_EQ((DWORD)STILL_ACTIVE, companion.Wait(0));
    EXPECT_NE(std::wstring::npos, folder.ReadFile(L"zentray.log").find(L" ignore quit pid="));

    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 10000));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    EXPECT_EQ(0u, companion.Wait(10000));
    EXPECT_NE(std::wstring::npos, folder.ReadFile(L"zentray.log").find(L" start stubborn pid="));
}

TEST(FileHolder, KeepsTheFileUndeletableUntilTheStopFileAppears)
{
    ScratchFolder folder;
    std::wstring file = folder.dir + L"locked.dll";
    std::wstring stop = folder.dir + L"stop";
    HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, created);
    CloseHandle(created);

    Process holder;
    ASSERT_TRUE(holder.Start(TestExeDir() + L"fileholder.exe",
                             L"\"" + file + L"\" \"" + stop + L"\"", true));
    ASSERT_EQ("held", holder.ReadLine());
    SeedLastError();
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer) << "writing must be refused too";
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);

    HANDLE stopFile = CreateFileW(stop.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, stopFile);
    CloseHandle(stopFile);
    EXPECT_EQ(0u, holder.Wait(10000));
    EXPECT_EQ("released", holder.ReadLine());
    EXPECT_TRUE(DeleteFileW(file.c_str())) << GetLastError();
}

TEST(FileHolder, ReportsAFileItCannotOpen)
{
    ScratchFolder folder;
    Process holder;
    ASSERT_TRUE(holder.Start(TestExeDir() + L"fileholder.exe",
                             L"\"" + folder.dir + L"missing.dll\" \"" + folder.dir + L"stop\"",
                             true));
    EXPECT_EQ("open failed 2", holder.ReadLine());
    EXPECT_EQ(2u, holder.Wait(10000));
}

} // namespace
