// Spooler queries: monitor, driver and printer lists, checked calls' reasons, and file builds.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "last_error.h"
#include "service_test_support.h"
#include "setup_context.h"
#include "services/spooler_queries.h"
#include "test_paths.h"

namespace {

// --- Against Wine's real spooler ---

TEST(SpoolerQueries, RealMonitorsAreListedAtLevel2WithoutALogLine)
{
    SetupContext context = {};
    GlobalHeapCount count;
    MonitorList list = LoadMonitorList(&context);
    EXPECT_EQ(2u, list.level);
    ASSERT_GT(list.count, 0u) << "Wine installs its local port monitor";
    ASSERT_NE(nullptr, list.buffer);
    auto *monitors = reinterpret_cast<MONITOR_INFO_2W *>(list.buffer);
    bool localPort = false;
    for (DWORD i = 0; i < list.count; i++) {
        ASSERT_NE(nullptr, monitors[i].pName);
        localPort = localPort || wcscmp(monitors[i].pName, L"Local Port") == 0;
    }
    EXPECT_TRUE(localPort);
    EXPECT_EQ(nullptr, context.logText);
    ReleaseSpoolerList(&list);
    EXPECT_EQ(nullptr, list.buffer);
    EXPECT_EQ(0u, list.count);
    EXPECT_EQ(1, count.allocs);
    EXPECT_EQ(count.allocs, count.frees);
}

TEST(SpoolerQueries, RealDriversAndPrintersOfAnEmptySpoolerAreEmptyHolders)
{
    GlobalHeapCount count;
    // Wine answers the size call of an empty list with TRUE and 0 bytes.
    DriverList drivers = LoadDriverList(L"Windows x64");
    EXPECT_EQ(6u, drivers.level);
    for (DWORD i = 0; i < drivers.count; i++)
        EXPECT_NE(nullptr, reinterpret_cast<DRIVER_INFO_6W *>(drivers.buffer)[i].pName);
    ReleaseSpoolerList(&drivers);

    SeedLastError();
    DriverList bogus = LoadDriverList(L"No such environment");
    EXPECT_EQ(nullptr, bogus.buffer);
    EXPECT_EQ(0u, bogus.count);
    EXPECT_EQ(DWORD(ERROR_INVALID_ENVIRONMENT), GetLastError());

    PrinterList printers = {};
    RefreshPrinterList(&printers);
    EXPECT_EQ(printers.count == 0, printers.buffer == nullptr);
    for (DWORD i = 0; i < printers.count; i++)
        EXPECT_NE(nullptr, PrinterAt(printers, i)->pPrinterName);
    ReleaseSpoolerList(&printers);
    ReleaseSpoolerList(&printers); // safe on an empty holder
    EXPECT_EQ(count.allocs, count.frees);
}

TEST(SpoolerQueries, CheckedCallsKeepTheSpoolersReason)
{
    // Wine refuses an unknown monitor with 3000 (ERROR_UNKNOWN_PRINT_MONITOR).
    SeedLastError();
    EXPECT_FALSE(CheckedDeleteMonitor(L"Windows x64"));
    EXPECT_EQ(DWORD(ERROR_UNKNOWN_PRINT_MONITOR), GetLastError());

    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(L"Checked call test printer");
    info.pPortName = const_cast<LPWSTR>(L"FILE:");
    info.pDriverName = const_cast<LPWSTR>(L"No such driver");
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    SeedLastError();
    EXPECT_EQ(nullptr, CheckedAddPrinter(&info));
    EXPECT_EQ(DWORD(ERROR_UNKNOWN_PRINTER_DRIVER), GetLastError());

    SeedLastError();
    EXPECT_FALSE(CheckedClosePrinter(NULL));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

// --- What the real spooler does not do on demand: injected enumerations ---

enum Behaviour {
    EMPTY_SUCCESS,    // the size call succeeds: nothing to list
    REFUSED,          // the size call fails with access denied
    ZERO_NEEDED,      // wants a buffer of 0 bytes
    GROWS,            // the list grows between the calls: the second one wants more
    OVERSTATED_COUNT, // the second call claims more records than its bytes hold
    SILENT_FAILURE,   // fails with an error the system has no text for
    TWO_RECORDS,      // two records, as a sound spooler returns them
};
Behaviour behaviour;
int calls;

// Two records of `recordSize` bytes whose first field (the name) points at a text in the block.
BOOL Answer(DWORD recordSize, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned)
{
    calls++;
    const DWORD records = 2;
    const DWORD bytes = records * recordSize + 2 * 8 * sizeof(WCHAR);
    if (returned)
        *returned = 0;
    switch (behaviour) {
    case EMPTY_SUCCESS:
        *needed = 0;
        return TRUE;
    case REFUSED:
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    case ZERO_NEEDED:
        *needed = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    case SILENT_FAILURE:
        SetLastError(0x2000FFFF);
        return FALSE;
    default:
        break;
    }
    if (!buffer || size < bytes || (behaviour == GROWS && calls > 1)) {
        *needed = behaviour == GROWS && calls > 1 ? bytes + 100 : bytes;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (DWORD i = 0; i < records; i++) {
        WCHAR *text = reinterpret_cast<WCHAR *>(buffer + records * recordSize) + 8 * i;
        wcscpy(text, i ? L"second" : L"first");
        *reinterpret_cast<WCHAR **>(buffer + i * recordSize) = text;
    }
    *needed = bytes;
    if (returned)
        *returned = behaviour == OVERSTATED_COUNT ? 1000 : records;
    return TRUE;
}

BOOL WINAPI FakeEnumMonitorsW(LPWSTR, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
                              LPDWORD returned)
{
    return Answer(sizeof(MONITOR_INFO_2W), buffer, size, needed, returned);
}

BOOL WINAPI FakeEnumPrinterDriversW(LPWSTR, LPWSTR, DWORD, LPBYTE buffer, DWORD size,
                                    LPDWORD needed, LPDWORD returned)
{
    return Answer(sizeof(DRIVER_INFO_6W), buffer, size, needed, returned);
}

BOOL WINAPI FakeEnumPrintersW(DWORD, LPWSTR, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
                              LPDWORD returned)
{
    return Answer(sizeof(PRINTER_INFO_2W), buffer, size, needed, returned);
}

class InjectedQueries : public ::testing::Test {
protected:
    ImportHook monitors{"winspool.drv", "EnumMonitorsW",
                        reinterpret_cast<const void *>(&FakeEnumMonitorsW)};
    ImportHook drivers{"winspool.drv", "EnumPrinterDriversW",
                       reinterpret_cast<const void *>(&FakeEnumPrinterDriversW)};
    ImportHook printers{"winspool.drv", "EnumPrintersW",
                        reinterpret_cast<const void *>(&FakeEnumPrintersW)};

    // Runs the three enumerations under `b` (refusing the n-th allocation when asked) and checks
    // that the heap is balanced once each holder is released. The records seen, per holder.
    std::vector<DWORD> RunAll(Behaviour b, int failAt = 0)
    {
        behaviour = b;
        std::vector<DWORD> counts;
        SetupContext context = {};
        {
            GlobalHeapCount count(failAt);
            calls = 0;
            MonitorList m = LoadMonitorList(&context);
            counts.push_back(m.count);
            CheckHolder(m.buffer, m.count);
            ReleaseSpoolerList(&m);
            calls = 0;
            DriverList d = LoadDriverList(L"Windows x64");
            counts.push_back(d.count);
            CheckHolder(d.buffer, d.count);
            ReleaseSpoolerList(&d);
            calls = 0;
            PrinterList p = {};
            RefreshPrinterList(&p);
            counts.push_back(p.count);
            CheckHolder(p.buffer, p.count);
            if (p.count) {
                EXPECT_STREQ(L"second", PrinterAt(p, 1)->pServerName);
            }
            ReleaseSpoolerList(&p);
            EXPECT_EQ(count.allocs, count.frees) << b;
        }
        monitorLog = StringText(context.logText);
        FreeString(&context.logText);
        return counts;
    }
    static void CheckHolder(const BYTE *buffer, DWORD count)
    {
        EXPECT_EQ(count == 0, buffer == nullptr);
    }
    std::wstring monitorLog;
};

TEST_F(InjectedQueries, SoundListsAreTakenWhole)
{
    EXPECT_EQ((std::vector<DWORD>{2, 2, 2}), RunAll(TWO_RECORDS));
    EXPECT_EQ(L"", monitorLog);
}

TEST_F(InjectedQueries, EveryFailureGivesAnEmptyHolderAndTheMonitorLogSaysWhich)
{
    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), RunAll(EMPTY_SUCCESS));
    EXPECT_EQ(L"1. EnumMonitors returns true\r\n", monitorLog);

    // The system's text goes in as it comes, with its line break.
    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), RunAll(REFUSED));
    EXPECT_EQ(L"2. EnumMonitors  failed with code: Access denied.\r\n\r\n", monitorLog);

    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), RunAll(SILENT_FAILURE));
    EXPECT_EQ(L"2. EnumMonitors  failed with code: No Error or no description\r\n", monitorLog);

    // A refusal that names no size is no invitation to a second call.
    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), RunAll(ZERO_NEEDED));
    EXPECT_EQ(0u, monitorLog.find(L"2. EnumMonitors  failed with code: "));
    EXPECT_EQ(1, calls);

    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), RunAll(GROWS));
    EXPECT_EQ(0u, monitorLog.find(L"3. EnumMonitors  failed with code: "));
    EXPECT_EQ(2, calls); // no third attempt

    EXPECT_EQ((std::vector<DWORD>{0, 0, 0}), RunAll(OVERSTATED_COUNT));
    EXPECT_EQ(0u, monitorLog.find(L"3. EnumMonitors  failed with code: "));
}

TEST_F(InjectedQueries, ARefusedBlockIsOutOfMemoryAndNothingLeaks)
{
    behaviour = TWO_RECORDS;
    SetupContext context = {};
    {
        GlobalHeapCount count(1);
        SeedLastError();
        MonitorList m = LoadMonitorList(&context);
        EXPECT_EQ(DWORD(E_OUTOFMEMORY), GetLastError());
        EXPECT_EQ(nullptr, m.buffer);
        EXPECT_EQ(0, count.allocs);
    }
    {
        GlobalHeapCount count(1);
        SeedLastError();
        calls = 0;
        DriverList d = LoadDriverList(L"Windows x64");
        EXPECT_EQ(DWORD(E_OUTOFMEMORY), GetLastError());
        EXPECT_EQ(1, calls);
        EXPECT_EQ(nullptr, d.buffer);
        EXPECT_EQ(0, count.allocs);
    }
    EXPECT_EQ(L"3. EnumMonitors - can't allocate memory for buffer\r\n",
              std::wstring(StringText(context.logText)));
    FreeString(&context.logText);

    PrinterList p = {};
    p.buffer = static_cast<BYTE *>(GlobalAlloc(GPTR, 16)); // an earlier fill
    p.count = 3;
    {
        GlobalHeapCount count(1);
        SeedLastError();
        RefreshPrinterList(&p);
        EXPECT_EQ(DWORD(E_OUTOFMEMORY), GetLastError());
        EXPECT_EQ(1, count.frees); // the earlier fill went first
    }
    EXPECT_EQ(nullptr, p.buffer);
    EXPECT_EQ(0u, p.count);
}

// --- Single-object queries ---

std::vector<std::wstring> driverEnvironments;
BOOL WINAPI FakeGetPrinterDriverW(HANDLE, LPWSTR environment, DWORD, LPBYTE buffer, DWORD size,
                                  LPDWORD needed)
{
    driverEnvironments.push_back(environment ? environment : L"<none>");
    return Answer(sizeof(DRIVER_INFO_2W), buffer, size, needed, NULL);
}

BOOL WINAPI FakeGetPrinterW(HANDLE, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    return Answer(sizeof(PRINTER_INFO_2W), buffer, size, needed, NULL);
}

TEST(SingleObjectQueries, TwoCallsWithTheSpoolersSizeAndEmptyOnAnyFailure)
{
    ImportHook printer("winspool.drv", "GetPrinterW",
                       reinterpret_cast<const void *>(&FakeGetPrinterW));
    ImportHook driver("winspool.drv", "GetPrinterDriverW",
                      reinterpret_cast<const void *>(&FakeGetPrinterDriverW));
    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);

    behaviour = TWO_RECORDS;
    driverEnvironments.clear();
    DWORD size = 0;
    PRINTER_INFO_2W *info = GetPrinterInfo2(handle, &size);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(2 * sizeof(PRINTER_INFO_2W) + 32, size);
    EXPECT_STREQ(L"first", info->pServerName);
    GlobalFree(info);
    DRIVER_INFO_2W *driverInfo = GetPrinterDriverInfo2(handle);
    ASSERT_NE(nullptr, driverInfo);
    // The size is asked for x64 by name; the read leaves the environment to the spooler.
    EXPECT_EQ((std::vector<std::wstring>{L"Windows x64", L"<none>"}), driverEnvironments);
    GlobalFree(driverInfo);

    for (Behaviour b : {EMPTY_SUCCESS, REFUSED, ZERO_NEEDED, GROWS}) {
        behaviour = b;
        GlobalHeapCount count;
        calls = 0;
        size = 0xDEADBEEF; // which every failure must set to 0
        EXPECT_EQ(nullptr, GetPrinterInfo2(handle, &size)) << b;
        EXPECT_EQ(0u, size) << b;
        EXPECT_EQ(nullptr, GetPrinterDriverInfo2(handle)) << b;
        EXPECT_EQ(count.allocs, count.frees) << b;
    }

    behaviour = TWO_RECORDS;
    GlobalHeapCount count(1);
    SeedLastError();
    EXPECT_EQ(nullptr, GetPrinterInfo2(handle, &size));
    EXPECT_EQ(DWORD(E_OUTOFMEMORY), GetLastError());
}

// --- Checked calls that change the spooler: their arguments ---

std::vector<std::string> spoolerCalls;
BOOL WINAPI RecordingSetPrinterW(HANDLE printer, DWORD level, LPBYTE data, DWORD command)
{
    spoolerCalls.push_back("SetPrinterW " + std::to_string((UINT_PTR)printer) + " " +
                           std::to_string(level) + " " + (data ? "data" : "none") + " " +
                           std::to_string(command));
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI RefusingDeletePrinter(HANDLE printer)
{
    spoolerCalls.push_back("DeletePrinter " + std::to_string((UINT_PTR)printer));
    SetLastError(ERROR_PRINTER_HAS_JOBS_QUEUED);
    return FALSE;
}

BOOL WINAPI RecordingAddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags)
{
    spoolerCalls.push_back(std::string("AddPrinterDriverExW ") + (server ? "server" : "local") +
                           " " + std::to_string(level) + " " + (info ? "info" : "none") + " " +
                           std::to_string(flags));
    return TRUE;
}

TEST(CheckedCalls, DeletionPurgesFirstAndDriversCopyAllFiles)
{
    ImportHook set("winspool.drv", "SetPrinterW",
                   reinterpret_cast<const void *>(&RecordingSetPrinterW));
    ImportHook del("winspool.drv", "DeletePrinter",
                   reinterpret_cast<const void *>(&RefusingDeletePrinter));
    ImportHook add("winspool.drv", "AddPrinterDriverExW",
                   reinterpret_cast<const void *>(&RecordingAddPrinterDriverExW));
    spoolerCalls.clear();
    SeedLastError();
    EXPECT_FALSE(CheckedDeletePrinter(reinterpret_cast<HANDLE>(7)));
    // The deletion's reason, not the purge's, is what the caller reports.
    EXPECT_EQ(DWORD(ERROR_PRINTER_HAS_JOBS_QUEUED), GetLastError());
    DRIVER_INFO_6W info = {};
    EXPECT_TRUE(CheckedAddPrinterDriver(&info));
    EXPECT_EQ((std::vector<std::string>{"SetPrinterW 7 0 none 3", "DeletePrinter 7",
                                        "AddPrinterDriverExW local 6 info 4"}),
              spoolerCalls);
}

// --- The build of a file ---

std::wstring ScratchFile(const std::wstring &name)
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
}

BOOL WINAPI ShortVerQueryValueW(LPCVOID block, LPCWSTR sub, LPVOID *out, PUINT length)
{
    BOOL ok = SYSTEM_FUNCTION("version.dll", VerQueryValueW)(block, sub, out, length);
    *length = sizeof(VS_FIXEDFILEINFO) - 4;
    return ok;
}

BOOL WINAPI ForeignVerQueryValueW(LPCVOID block, LPCWSTR sub, LPVOID *out, PUINT length)
{
    BOOL ok = SYSTEM_FUNCTION("version.dll", VerQueryValueW)(block, sub, out, length);
    static VS_FIXEDFILEINFO copy;
    copy = *static_cast<VS_FIXEDFILEINFO *>(*out);
    copy.dwSignature = 0x12345678;
    *out = &copy;
    return ok;
}

TEST(FileBuild, FourthProductNumberOrMinusOne)
{
    GlobalHeapCount count;
    std::wstring self = TestExeDir() + L"spooler_queries_test.exe";
    EXPECT_EQ(2551, GetFileBuild(self.c_str()));
    EXPECT_EQ(-1, GetFileBuild((TestExeDir() + L"noop.exe").c_str())); // no version resource
    EXPECT_EQ(-1, GetFileBuild((TestExeDir() + L"no such file.dll").c_str()));

    // The first part of the file only: the resource section is gone.
    std::wstring cut = ScratchFile(L"cut_build_");
    ASSERT_TRUE(CopyFileW(self.c_str(), cut.c_str(), FALSE));
    HANDLE file = CreateFileW(cut.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    SetFilePointer(file, 4096, NULL, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
    EXPECT_EQ(-1, GetFileBuild(cut.c_str()));
    DeleteFileW(cut.c_str());
    EXPECT_EQ(count.allocs, count.frees);

    {
        ImportHook hook("version.dll", "VerQueryValueW",
                        reinterpret_cast<const void *>(&ShortVerQueryValueW));
        EXPECT_EQ(-1, GetFileBuild(self.c_str()));
    }
    {
        ImportHook hook("version.dll", "VerQueryValueW",
                        reinterpret_cast<const void *>(&ForeignVerQueryValueW));
        EXPECT_EQ(-1, GetFileBuild(self.c_str()));
    }
    EXPECT_EQ(count.allocs, count.frees);

    GlobalHeapCount refuse(1);
    SeedLastError();
    EXPECT_EQ(-1, GetFileBuild(self.c_str()));
    EXPECT_EQ(DWORD(E_OUTOFMEMORY), GetLastError());
}

} // namespace
