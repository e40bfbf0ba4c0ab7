// The setup context: its directories, mode bits and file set, failures building it, its release.
#include <gtest/gtest.h>

#include <string>

#include "../services/service_test_support.h"
#include "import_hook.h"
#include "printing/printer_queues.h"
#include "services/file_copy.h"
#include "setup_context.h"
#include "setup_log.h"
#include "test_paths.h"

namespace {

std::wstring Text(CountedString s)
{
    return StringText(s);
}

class SetupContextTest : public ::testing::Test {
protected:
    SetupContext context;
    void SetUp() override
    {
        g_instance = GetModuleHandleW(NULL);
        // A fresh wineserver starts with the spooler stopped; the check of a stopped one adds a
        // line of its own.
        ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
    }
    void TearDown() override
    {
        FreeSetupContext(&context);
    }
};

TEST_F(SetupContextTest, BuildsDirectoriesAndTheX64FileSet)
{
    EXPECT_TRUE(InitSetupContext(&context, SETUP_X64));
    EXPECT_EQ(TestExeDir(), Text(context.moduleDir));
    std::wstring systemDir = Text(context.systemDir);
    ASSERT_FALSE(systemDir.empty());
    EXPECT_EQ(L'\\', systemDir.back());
    EXPECT_NE(L'\\', systemDir[systemDir.size() - 2]);
    // Wine's printer driver directory for x64.
    EXPECT_EQ(L"C:\\windows\\system32\\spool\\drivers\\x64\\", Text(context.driverDir));

    EXPECT_STREQ(L"Windows x64", context.environment);
    EXPECT_STREQ(L"tvlmon64.dll", context.monitorFile);
    EXPECT_STREQ(L"tvldrv64.dll", context.driverFile);
    EXPECT_STREQ(L"tvlui64.dll", context.uiFile);
    EXPECT_STREQ(L"tvlhelp.chm", context.helpFile);
    EXPECT_EQ(0, context.checkMonitorVersion);
    EXPECT_EQ(1, context.installMonitor);
    EXPECT_EQ(1, context.installTray);
    EXPECT_EQ(1, context.copyMonitor);
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_EQ(nullptr, context.detachedPrinters);

    // The spooler runs, so its check writes only its heading.
    EXPECT_EQ(L"Zentavo 2551\r\n"
              L">Check Spooler\r\n"
              L"PrinterDriverDirectory(1):C:\\windows\\system32\\spool\\drivers\\x64\r\n"
              L"PrinterDriverDirectory(2):C:\\windows\\system32\\spool\\drivers\\x64\\\r\n",
              Text(context.logText));
}

SC_HANDLE WINAPI RefusingOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

TEST_F(SetupContextTest, ASpoolerCheckThatFailsIsReportedAndConstructionGoesOn)
{
    {
        ImportHook hook("advapi32.dll", "OpenSCManagerW",
                        reinterpret_cast<const void *>(&RefusingOpenSCManagerW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    std::wstring log = Text(context.logText);
    EXPECT_EQ(
        0u, log.find(L"Zentavo 2551\r\n>Check Spooler\r\n  Error(1): Can't open service manager."));
    EXPECT_NE(std::wstring::npos, log.find(L"\nPrinterDriverDirectory(2):"));
    EXPECT_FALSE(Text(context.systemDir).empty());
}

TEST_F(SetupContextTest, ModeBitsSelectTrayAndFileSet)
{
    InitSetupContext(&context, SETUP_X64 | SETUP_NO_TRAY);
    EXPECT_EQ(0, context.installTray);
    EXPECT_EQ(1, context.installMonitor);
    EXPECT_EQ(1, context.copyMonitor);
    EXPECT_EQ(0, context.checkMonitorVersion);
    FreeSetupContext(&context);

    InitSetupContext(&context, 0x100); // unknown bits are ignored: the 32-bit file set
    EXPECT_EQ(1, context.installTray);
    EXPECT_STREQ(L"Windows NT x86", context.environment);
    EXPECT_STREQ(L"tvlmon32.dll", context.monitorFile);
    EXPECT_STREQ(L"tvldrv32.dll", context.driverFile);
    EXPECT_STREQ(L"tvlui32.dll", context.uiFile);
    EXPECT_EQ(L"C:\\windows\\system32\\spool\\drivers\\w32x86\\", Text(context.driverDir));
}

UINT WINAPI FailingGetSystemDirectoryW(LPWSTR, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

UINT WINAPI OverlongGetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    // What the call returns when the directory does not fit: the size it needs, buffer untouched.
    if (size)
        buffer[0] = L'Q';
    SetLastError(0);
    return 400;
}

UINT WINAPI BackslashGetSystemDirectoryW(LPWSTR buffer, UINT)
{
    wcscpy(buffer, L"D:\\sys\\");
    return 7;
}

TEST_F(SetupContextTest, SystemDirectoryFailuresAreReportedAsError7)
{
    {
        ImportHook hook("kernel32.dll", "GetSystemDirectoryW",
                        reinterpret_cast<const void *>(&FailingGetSystemDirectoryW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(nullptr, context.systemDir);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_NE(std::wstring::npos,
              Text(context.logText).find(L"Error(7): Can`t retrieve system directory. - ("));
    EXPECT_FALSE(Text(context.driverDir).empty()); // construction went on
    FreeSetupContext(&context);

    {
        ImportHook hook("kernel32.dll", "GetSystemDirectoryW",
                        reinterpret_cast<const void *>(&OverlongGetSystemDirectoryW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(nullptr, context.systemDir); // never a cut path
    EXPECT_EQ(1, context.errorCount);
    EXPECT_NE(std::wstring::npos,
              Text(context.logText).find(L"Error(7): Can`t retrieve system directory."));
    FreeSetupContext(&context);

    {
        ImportHook hook("kernel32.dll", "GetSystemDirectoryW",
                        reinterpret_cast<const void *>(&BackslashGetSystemDirectoryW));
        EXPECT_TRUE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(L"D:\\sys\\", Text(context.systemDir));
    EXPECT_EQ(0, context.errorCount);
}

DWORD WINAPI FullGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size)
{
    for (DWORD i = 0; i + 1 < size; i++)
        buffer[i] = (i % 10 == 9) ? L'\\' : L'a';
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

TEST_F(SetupContextTest, ModulePathThatFillsTheBufferIsNoPath)
{
    {
        ImportHook hook("kernel32.dll", "GetModuleFileNameW",
                        reinterpret_cast<const void *>(&FullGetModuleFileNameW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64)); // with nothing reported
    }
    EXPECT_EQ(nullptr, context.moduleDir);
    EXPECT_EQ(0, context.errorCount);
}

BOOL WINAPI RefusingGetPrinterDriverDirectoryW(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD)
{
    SetLastError(ERROR_INVALID_ENVIRONMENT);
    return FALSE;
}

int driverDirectoryCalls;
BOOL WINAPI SecondCallFailsGetPrinterDriverDirectoryW(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD,
                                                      LPDWORD needed)
{
    if (driverDirectoryCalls++ == 0) {
        *needed = 40;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
}

BOOL WINAPI BackslashGetPrinterDriverDirectoryW(LPWSTR, LPWSTR, DWORD, LPBYTE buffer, DWORD size,
                                                LPDWORD needed)
{
    const WCHAR dir[] = L"E:\\drivers\\";
    *needed = sizeof(dir);
    if (size < sizeof(dir)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, dir, sizeof(dir));
    return TRUE;
}

TEST_F(SetupContextTest, DriverDirectoryFailuresAreReportedAsError6)
{
    {
        ImportHook hook("winspool.drv", "GetPrinterDriverDirectoryW",
                        reinterpret_cast<const void *>(&RefusingGetPrinterDriverDirectoryW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(nullptr, context.driverDir);
    EXPECT_STREQ(L"tvlhelp.chm", context.helpFile);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_NE(
        std::wstring::npos,
        Text(context.logText).find(L"Error(6): Can`t retrieve printer driver directory. - ("));
    EXPECT_FALSE(Text(context.systemDir).empty());
    FreeSetupContext(&context);

    driverDirectoryCalls = 0;
    {
        ImportHook hook("winspool.drv", "GetPrinterDriverDirectoryW",
                        reinterpret_cast<const void *>(&SecondCallFailsGetPrinterDriverDirectoryW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(2, driverDirectoryCalls);
    EXPECT_EQ(nullptr, context.driverDir);
    EXPECT_STREQ(L"tvlhelp.chm", context.helpFile);
    EXPECT_EQ(1, context.errorCount);
    FreeSetupContext(&context);

    {
        ImportHook hook("winspool.drv", "GetPrinterDriverDirectoryW",
                        reinterpret_cast<const void *>(&BackslashGetPrinterDriverDirectoryW));
        EXPECT_TRUE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(L"E:\\drivers\\", Text(context.driverDir));
    EXPECT_NE(std::wstring::npos,
              Text(context.logText).find(L"PrinterDriverDirectory(2):E:\\drivers\\\r\n"));
}

int printerEnumerations;
BOOL WINAPI CountingEnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed, LPDWORD count)
{
    printerEnumerations++;
    return SYSTEM_FUNCTION("winspool.drv", EnumPrintersW)(flags, name, level, buffer, size, needed,
                                                          count);
}

// On Windows a disabled spooler answers nothing: the context asks it nothing more, so that the
// command's refusal is the only report.
TEST_F(SetupContextTest, ADisabledSpoolerIsAskedForNeitherItsDirectoryNorItsPrinters)
{
    driverDirectoryCalls = 0;
    printerEnumerations = 0;
    configuredStartType = SERVICE_DISABLED;
    {
        ImportHook config("advapi32.dll", "QueryServiceConfigW",
                          reinterpret_cast<const void *>(&ConfiguredQueryServiceConfigW));
        ImportHook directory(
            "winspool.drv", "GetPrinterDriverDirectoryW",
            reinterpret_cast<const void *>(&SecondCallFailsGetPrinterDriverDirectoryW));
        ImportHook enumerate("winspool.drv", "EnumPrintersW",
                             reinterpret_cast<const void *>(&CountingEnumPrintersW));
        EXPECT_FALSE(InitSetupContext(&context, SETUP_X64));
    }
    EXPECT_EQ(1, context.spoolerDisabled);
    EXPECT_EQ(0, driverDirectoryCalls);
    EXPECT_EQ(0, printerEnumerations);
    EXPECT_EQ(nullptr, context.driverDir);
    EXPECT_STREQ(L"tvlmon64.dll", context.monitorFile);
    EXPECT_FALSE(Text(context.systemDir).empty());
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(
        L"Zentavo 2551\r\n>Check Spooler\r\n  Its start type is Disabled: it is not started\r\n",
        Text(context.logText));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), RealSpoolerState()); // nothing stopped or started
}

int globalFrees;
HGLOBAL WINAPI CountingGlobalFree(HGLOBAL block)
{
    globalFrees++;
    auto real = SYSTEM_FUNCTION("kernel32.dll", GlobalFree);
    return real(block);
}

TEST_F(SetupContextTest, FreeReleasesEveryListAndString)
{
    InitSetupContext(&context, SETUP_X64);
    for (int i = 0; i < 3; i++) {
        auto *node = static_cast<PendingDelete *>(GlobalAlloc(GPTR, sizeof(PendingDelete)));
        node->path = static_cast<WCHAR *>(GlobalAlloc(GPTR, 16));
        node->next = context.pendingDeletes;
        context.pendingDeletes = node;
        auto *kept = static_cast<KeptSetting *>(GlobalAlloc(GPTR, sizeof(KeptSetting)));
        kept->subKeyValue = static_cast<char *>(GlobalAlloc(GPTR, 8));
        kept->next = context.keptSettings;
        context.keptSettings = kept;
    }
    context.printers.buffer = static_cast<BYTE *>(GlobalAlloc(GPTR, 64));
    context.printers.count = 1;
    context.detachedPrinters = static_cast<PRINTER_INFO_2W **>(GlobalAlloc(GPTR, 16));
    globalFrees = 0;
    {
        ImportHook hook("kernel32.dll", "GlobalFree",
                        reinterpret_cast<const void *>(&CountingGlobalFree));
        FreeSetupContext(&context);
    }
    EXPECT_EQ(3 * 2 + 3 * 2 + 1 + 1, globalFrees);
    EXPECT_EQ(nullptr, context.pendingDeletes);
    EXPECT_EQ(nullptr, context.keptSettings);
    EXPECT_EQ(nullptr, context.printers.buffer);
    EXPECT_EQ(0u, context.printers.count);
    EXPECT_EQ(nullptr, context.detachedPrinters);
    EXPECT_EQ(nullptr, context.logText);
    EXPECT_EQ(nullptr, context.moduleDir);
    EXPECT_EQ(nullptr, context.systemDir);
    EXPECT_EQ(nullptr, context.driverDir);
}

} // namespace
