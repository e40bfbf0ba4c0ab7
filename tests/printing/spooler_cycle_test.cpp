// The printing operations against Wine's real spooler with the stand-in components, in the
// shared test prefix: every test removes what it registered, copied or wrote.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>

#include "flows/sequences.h"
#include "import_hook.h"
#include "printing/port_monitor.h"
#include "printing/printer_driver.h"
#include "printing/printer_driver_internal.h"
#include "printing/printer_queues.h"
#include "printing/printer_queues_internal.h"
#include "printing_test_support.h"
#include "services/pending_renames.h"
#include "setup_context.h"
#include "test_paths.h"
#include "virtual_clock.h"

namespace {

bool FileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MonitorRegistered(SetupContext *context)
{
    MonitorList list = LoadMonitorList(context);
    bool found = FindPortMonitor(list) >= 0;
    ReleaseSpoolerList(&list);
    return found;
}

bool DriverRegistered()
{
    DriverList list = LoadDriverList(L"Windows x64");
    bool found = FindPrinterDriver(list) >= 0;
    ReleaseSpoolerList(&list);
    return found;
}

// Whatever a test leaves registered or copied is removed through the raw calls.
class RealSpooler : public ::testing::Test {
protected:
    SetupContext context = {};
    VirtualClock clock;
    std::wstring systemDir, driverDir;

    void SetUp() override
    {
        // Before the context: its check of the real spooler polls on the clock as well.
        LetTheSpoolerMove(clock);
        MakeContext(&context);
        systemDir = StringText(context.systemDir);
        driverDir = StringText(context.driverDir);
        Assign(&context.moduleDir, (BuildDir() + L"standins\\default\\").c_str());
        ASSERT_TRUE(FileExists(StringText(context.moduleDir) + std::wstring(L"tvlui64.dll")))
            << "the stand-in components are not built";
        ASSERT_FALSE(MonitorRegistered(&context)) << "a monitor \"Zentavo:\" is left over";
        ASSERT_FALSE(DriverRegistered()) << "a driver \"Zentavo printer\" is left over";
        FreeString(&context.logText);
    }
    void TearDown() override
    {
        for (const WCHAR *name : {L"Zentavo A", L"Zentavo B", L"Zentavo"}) {
            HANDLE printer = NULL;
            PRINTER_DEFAULTSW defaults = {NULL, NULL, PRINTER_ALL_ACCESS};
            while (OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
                DeletePrinter(printer);
                ClosePrinter(printer);
            }
        }
        DeletePrinterDriverExW(NULL, const_cast<LPWSTR>(L"Windows x64"),
                               const_cast<LPWSTR>(L"Zentavo printer"), 0, 0);
        DeleteMonitorW(NULL, NULL, const_cast<LPWSTR>(L"Zentavo:"));
        DeleteFileW((systemDir + L"tvlmon64.dll").c_str());
        for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"}) {
            DeleteFileW((driverDir + name).c_str());
            DeleteFileW((driverDir + L"3\\" + name).c_str());
        }
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Tovalin Software KFT");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Tovalin Software KFT");
        FreeSetupContext(&context);
        EXPECT_FALSE(MonitorRegistered(&context));
        EXPECT_FALSE(DriverRegistered());
    }
};

TEST_F(RealSpooler, MonitorIsRegisteredKeptWhenCompatibleAndRemoved)
{
    EXPECT_TRUE(InstallPortMonitor(&context));
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(
        LinesInOrder(Log(context), {L">AddMonitor", L"Copy monitor file", L"AddMonitor - OK :)"}));
    EXPECT_TRUE(FileExists(systemDir + L"tvlmon64.dll"));
    EXPECT_TRUE(MonitorRegistered(&context));

    // The stand-in's build 2551 is compatible: a reinstall keeps it registered and in place.
    MonitorList list = LoadMonitorList(&context);
    context.checkMonitorVersion = 1;
    EXPECT_EQ(MONITOR_KEPT_REGISTERED, RemovePortMonitor(&context, list));
    EXPECT_TRUE(MonitorRegistered(&context));
    EXPECT_TRUE(FileExists(systemDir + L"tvlmon64.dll"));

    // A plain uninstall removes it. Wine's spooler never refuses, so nothing is parked.
    FreeString(&context.logText);
    context.checkMonitorVersion = 0;
    EXPECT_EQ(MONITOR_REMOVED, RemovePortMonitor(&context, list));
    ReleaseSpoolerList(&list);
    EXPECT_TRUE(
        LinesInOrder(Log(context), {L"Port monitor is found. Index=", L"Monitor was removed :)"}) ||
        LinesInOrder(Log(context), {L"Monitor was removed :)"}));
    EXPECT_FALSE(MonitorRegistered(&context));
    EXPECT_EQ(nullptr, context.detachedPrinters);
    // Wine unloads the DLL after each call, so it can go at once.
    EXPECT_FALSE(FileExists(systemDir + L"tvlmon64.dll"));
    EXPECT_EQ(nullptr, context.pendingDeletes);
    EXPECT_EQ(0, context.errorCount);
}

struct DriverRecord {
    DWORD cVersion = 0;
    std::wstring name, environment, driverPath, dataFile, configFile, helpFile, maker, provider;
    bool dependentFilesNull = false, monitorNull = false;
    static DriverRecord *current;
    static decltype(&AddPrinterDriverExW) real;
};
DriverRecord *DriverRecord::current;
decltype(&AddPrinterDriverExW) DriverRecord::real;

BOOL WINAPI RecordingAddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags)
{
    DRIVER_INFO_6W *d = reinterpret_cast<DRIVER_INFO_6W *>(info);
    DriverRecord *r = DriverRecord::current;
    EXPECT_EQ(6u, level);
    EXPECT_EQ((DWORD)APD_COPY_ALL_FILES, flags);
    r->cVersion = d->cVersion;
    r->name = d->pName;
    r->environment = d->pEnvironment;
    r->driverPath = d->pDriverPath;
    r->dataFile = d->pDataFile;
    r->configFile = d->pConfigFile;
    r->helpFile = d->pHelpFile;
    r->maker = d->pszMfgName;
    r->provider = d->pszProvider;
    r->dependentFilesNull = d->pDependentFiles == NULL;
    r->monitorNull = d->pMonitorName == NULL;
    return DriverRecord::real(server, level, info, flags);
}

TEST_F(RealSpooler, DriverIsAddedAndRemovedWithItsFiles)
{
    DriverRecord record;
    DriverRecord::current = &record;
    {
        ImportHook add("winspool.drv", "AddPrinterDriverExW",
                       (const void *)&RecordingAddPrinterDriverExW);
        DriverRecord::real = RealFunction<decltype(AddPrinterDriverExW)>(add);
        EXPECT_TRUE(InstallPrinterDriver(&context));
    }
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(LinesInOrder(Log(context), {L">Add Printer Driver", L"OK :)"}));
    EXPECT_EQ(3u, record.cVersion);
    EXPECT_EQ(L"Zentavo printer", record.name);
    EXPECT_EQ(L"Windows x64", record.environment);
    EXPECT_EQ(driverDir + L"tvldrv64.dll", record.driverPath);
    EXPECT_EQ(record.driverPath, record.dataFile);
    EXPECT_EQ(driverDir + L"tvlui64.dll", record.configFile);
    EXPECT_EQ(driverDir + L"tvlhelp.chm", record.helpFile);
    EXPECT_EQ(L"Tovalin Software Kft.", record.maker);
    EXPECT_EQ(L"Tovalin Software Kft.", record.provider);
    EXPECT_TRUE(record.dependentFilesNull);
    EXPECT_TRUE(record.monitorNull);
    EXPECT_TRUE(DriverRegistered());
    // The spooler holds its own copies; the staged ones are gone.
    EXPECT_TRUE(FileExists(driverDir + L"3\\tvldrv64.dll"));
    EXPECT_FALSE(FileExists(driverDir + L"tvldrv64.dll"));
    EXPECT_FALSE(FileExists(driverDir + L"tvlui64.dll"));
    EXPECT_FALSE(FileExists(driverDir + L"tvlhelp.chm"));
    EXPECT_EQ(nullptr, context.pendingDeletes);

    // Wine refuses the delete flags (87): the driver goes without them, then its own files.
    FreeString(&context.logText);
    DriverList drivers = LoadDriverList(L"Windows x64");
    EXPECT_TRUE(RemovePrinterDriver(&context, drivers));
    ReleaseSpoolerList(&drivers);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(LinesInOrder(
        Log(context),
        {L">DeletePrinterDriver for Windows x64", L"Driver is found. Index=1",
         L"The spooler does not take the delete flags, deleting the driver without them",
         L"OK :)"}));
    EXPECT_FALSE(DriverRegistered());
    for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"})
        EXPECT_FALSE(FileExists(driverDir + L"3\\" + name)) << name;
    EXPECT_EQ(nullptr, context.pendingDeletes);
}

std::string SubKeyOf(HANDLE printer, bool dsUser)
{
    char value[128] = {};
    DWORD type = 0, needed = 0;
    DWORD result =
        dsUser ? GetPrinterDataExA(printer, "DsUser", "SubKey", &type, (LPBYTE)value, 127, &needed)
               : GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type, (LPBYTE)value, 127,
                                 &needed);
    return result == ERROR_SUCCESS && type == REG_SZ ? value : "<none>";
}

TEST_F(RealSpooler, KeptPrintersAreDeletedAndRecreatedWithTheirSettings)
{
    InstallPortMonitor(&context);
    InstallPrinterDriver(&context);
    ASSERT_EQ(0, context.errorCount) << LogText(context);

    // Two product printers with settings; B is the default.
    const struct {
        const WCHAR *name, *comment, *location;
        const char *subKey;
    } made[] = {{L"Zentavo A", L"first", L"Hall", "keyA"},
                {L"Zentavo B", L"second", L"Attic", "keyB"}};
    for (const auto &m : made) {
        HANDLE printer = AddPrinterQueue(&context, m.name);
        ASSERT_NE(nullptr, printer) << LogText(context);
        EXPECT_TRUE(SetSubKeySetting(printer, m.subKey));
        DWORD size = 0;
        PRINTER_INFO_2W *info = GetPrinterInfo2(printer, &size);
        ASSERT_NE(nullptr, info);
        info->pComment = const_cast<LPWSTR>(m.comment);
        info->pLocation = const_cast<LPWSTR>(m.location);
        EXPECT_TRUE(SetPrinterW(printer, 2, (LPBYTE)info, 0));
        GlobalFree(info);
        ClosePrinter(printer);
    }
    auto setDefault = reinterpret_cast<BOOL(WINAPI *)(LPCWSTR)>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"winspool.drv"), MAKEINTRESOURCEA(204))));
    ASSERT_TRUE(setDefault(L"Zentavo B"));
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER,
                              "Software\\Tovalin Software KFT\\Zentavo\\Zentavos\\keyA", 0, NULL, 0,
                              KEY_ALL_ACCESS, NULL, &key, NULL));
    RegSetValueExA(key, "deleted", 0, REG_SZ, (const BYTE *)"1", 2);
    RegSetValueExA(key, "other", 0, REG_SZ, (const BYTE *)"1", 2);
    RegCloseKey(key);

    MarkDefaultPrinter(&context);
    FreeString(&context.logText);
    EXPECT_TRUE(DeleteProductPrinters(&context));

    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(LinesInOrder(Log(context), {L">DeleteAllPrinters", L">DeletePrinter(Zentavo A)",
                                            L"OK", L">DeletePrinter(Zentavo B)", L"OK"}));
    HANDLE gone = NULL;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L"Zentavo A"), &gone, NULL));
    ASSERT_NE(nullptr, context.keptSettings);
    ASSERT_NE(nullptr, context.keptSettings->next);
    EXPECT_STREQ("keyB", context.keptSettings->subKeyValue); // the last enumerated comes first
    EXPECT_STREQ("keyA", context.keptSettings->next->subKeyValue);

    // A reinstall removes and adds the driver in between; the printers come back after it.
    FreeString(&context.logText);
    EXPECT_TRUE(RestoreKeptPrinters(&context));
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(LinesInOrder(Log(context), {L">AddPrinter(Zentavo B)", L"Port monitor is found",
                                            L"OK :)", L">AddPrinter(Zentavo A)"}));
    for (const auto &m : made) {
        HANDLE printer = NULL;
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(m.name), &printer, NULL));
        EXPECT_EQ(m.subKey, SubKeyOf(printer, false));
        EXPECT_EQ(m.subKey, SubKeyOf(printer, true));
        DWORD size = 0;
        PRINTER_INFO_2W *info = GetPrinterInfo2(printer, &size);
        ASSERT_NE(nullptr, info);
        EXPECT_STREQ(m.comment, info->pComment);
        EXPECT_STREQ(m.location, info->pLocation);
        EXPECT_STREQ(L"Zentavo:", info->pPortName);
        EXPECT_STREQ(L"Zentavo printer", info->pDriverName);
        GlobalFree(info);
        ClosePrinter(printer);
    }
    EXPECT_EQ(L"Zentavo B", DefaultPrinter());
    HANDLE none = NULL;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L"Zentavo"), &none, NULL));
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER,
                            "Software\\Tovalin Software KFT\\Zentavo\\Zentavos\\keyA", 0, KEY_READ,
                            &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "deleted", NULL, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "other", NULL, NULL, NULL, NULL));
    RegCloseKey(key);
}

TEST_F(RealSpooler, NothingKeptAddsTheOnePrinterZentavo)
{
    InstallPortMonitor(&context);
    InstallPrinterDriver(&context);
    EXPECT_TRUE(RestoreKeptPrinters(&context));
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    HANDLE printer = NULL;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"Zentavo"), &printer, NULL));
    EXPECT_EQ("<none>", SubKeyOf(printer, false));
    ClosePrinter(printer);
}

TEST_F(RealSpooler, UnknownPrinterIsReportedNotDeleted)
{
    EXPECT_FALSE(DeletePrinterQueue(&context, L"No such printer"));
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0u, Log(context).find(L">DeletePrinter(No such printer)\r\n  Error(16): Can`t open "
                                    L"printer 'No such printer'"));
    EXPECT_EQ(0, context.logDepth);
}

// An uninstall that could not delete the monitor DLL left it scheduled for the next boot; the
// version check of a reinstall before that boot finds the file compatible and unregistered.
TEST_F(RealSpooler, ReinstallOverAMonitorFileScheduledForDeletionLeavesOneTheBootKeeps)
{
    const std::wstring monitor = systemDir + L"tvlmon64.dll";
    ASSERT_TRUE(CopyFileW((StringText(context.moduleDir) + std::wstring(L"tvlmon64.dll")).c_str(),
                          monitor.c_str(), FALSE));
    ASSERT_TRUE(MoveFileExW(monitor.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    context.installTray = 0;

    ReInstall(&context);

    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(FileExists(monitor)) << LogText(context);
    EXPECT_TRUE(MonitorRegistered(&context));
    PendingRenameTable table = LoadPendingRenameTable();
    for (LONG k = 0; k < table.pairCount; k++) {
        const WCHAR *source = table.paths[2 * k];
        EXPECT_FALSE(source && CompareStringOrdinal(StripNtPrefix(source), -1, monitor.c_str(), -1,
                                                    TRUE) == CSTR_EQUAL)
            << "the boot would delete the monitor DLL";
    }
    ReleasePendingRenameTable(&table);
    const WCHAR *paths[] = {monitor.c_str()};
    ForgetPendingDeletions(paths, 1);
}

} // namespace
