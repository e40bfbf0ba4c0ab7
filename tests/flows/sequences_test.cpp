// The reinstall and uninstall sequences against Wine's real spooler with the stand-in
// components, in the shared test prefix; every test removes what the sequences left.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <inspectable.h>
#include <sddl.h>
#include <winspool.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../printing/printing_test_support.h"
#include "../services/service_test_support.h"
#include "dispatcher.h"
#include "folder_descriptor.h"
#include "dispatcher_internal.h"
#include "flows/sequences.h"
#include "printing/port_monitor.h"
#include "printing/printer_driver_internal.h"
#include "product.h"
#include "services/file_copy.h"
#include "setup_context.h"
#include "test_paths.h"

namespace {

bool FileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Indented(int depth, const std::wstring &line)
{
    return std::wstring(2 * depth, L' ') + line + L"\r\n";
}

const WCHAR KEPT_RECORDS[] = L"Software\\Tovalin Software KFT\\Zentavo\\Kept printers";
const WCHAR *const KEPT_NAMES[] = {L"Kept A", L"Kept B", L"Kept C"};

HANDLE OpenNamed(const WCHAR *name)
{
    HANDLE printer = NULL;
    PRINTER_DEFAULTSW defaults = {NULL, NULL, PRINTER_ALL_ACCESS};
    return OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults) ? printer : NULL;
}

// Every printer of the product driver as "name|SubKey|comment|location", sorted; duplicates
// show twice.
std::vector<std::wstring> ProductPrinters()
{
    std::vector<std::wstring> found;
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, buffer.data(), needed, &needed, &count))
        return found;
    auto *records = reinterpret_cast<PRINTER_INFO_2W *>(buffer.data());
    for (DWORD i = 0; i < count; i++) {
        if (!records[i].pDriverName || wcscmp(records[i].pDriverName, L"Zentavo printer") != 0)
            continue;
        std::wstring line = records[i].pPrinterName;
        HANDLE printer = OpenNamed(records[i].pPrinterName);
        char value[64] = {};
        DWORD type = 0, size = 0;
        if (printer)
            GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                            reinterpret_cast<LPBYTE>(value), sizeof(value) - 1, &size);
        if (printer)
            ClosePrinter(printer);
        line += L"|" + std::wstring(value, value + strlen(value));
        line += L"|" + std::wstring(records[i].pComment ? records[i].pComment : L"");
        line += L"|" + std::wstring(records[i].pLocation ? records[i].pLocation : L"");
        found.push_back(line);
    }
    std::sort(found.begin(), found.end());
    return found;
}

const std::vector<std::wstring> KEPT_PRINTERS = {L"Kept A|key a|comment A|room A",
                                                 L"Kept B|key b|comment B|room B",
                                                 L"Kept C|key c|comment C|room C"};

DWORD KeptRecordCount()
{
    HKEY key = NULL;
    DWORD values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return values;
}

class Sequences : public ::testing::Test {
protected:
    SetupContext context = {};
    VirtualClock clock;
    SavedPendingRenames pending;
    std::wstring systemDir, driverDir, monitorPath;

    void SetUp() override
    {
        LetTheSpoolerMove(clock);
        // Found stopped, the spooler would be stopped again by a command that installs nothing.
        ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
        fresh();
        systemDir = StringText(context.systemDir);
        driverDir = StringText(context.driverDir);
        monitorPath = systemDir + L"tvlmon64.dll";
        pending.Remove();
    }
    // A context as the install command builds it, with the stand-ins as the tool's folder and
    // no companion to start.
    void fresh()
    {
        FreeSetupContext(&context);
        MakeContext(&context);
        Assign(&context.moduleDir, (BuildDir() + L"standins\\default\\").c_str());
        context.installTray = 0;
    }
    void TearDown() override
    {
        FreeSetupContext(&context);
        for (const WCHAR *name : {L"Zentavo", KEPT_NAMES[0], KEPT_NAMES[1], KEPT_NAMES[2]}) {
            while (HANDLE printer = OpenNamed(name)) {
                DeletePrinter(printer);
                ClosePrinter(printer);
            }
        }
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, KEPT_RECORDS);
        DeletePrinterDriverExW(NULL, const_cast<LPWSTR>(L"Windows x64"),
                               const_cast<LPWSTR>(L"Zentavo printer"), 0, 0);
        DeleteMonitorW(NULL, NULL, const_cast<LPWSTR>(L"Zentavo:"));
        DeleteFileW(monitorPath.c_str());
        for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"}) {
            DeleteFileW((driverDir + name).c_str());
            DeleteFileW((driverDir + L"3\\" + name).c_str());
        }
        // A command run leaves its support log beside the tool; the stand-ins' folder is copied
        // into the scenarios' prefixes, so nothing of a test may stay in it.
        DeleteFileW((BuildDir() + L"standins\\default\\setup.log").c_str());
        EXPECT_EQ((DWORD)SERVICE_RUNNING, RealSpoolerState());
    }
    bool productInstalled()
    {
        MonitorList monitors = LoadMonitorList(&context);
        DriverList drivers = LoadDriverList(L"Windows x64");
        bool found = FindPortMonitor(monitors) >= 0 && FindPrinterDriver(drivers) >= 0;
        ReleaseSpoolerList(&monitors);
        ReleaseSpoolerList(&drivers);
        HANDLE printer = NULL;
        found = found && OpenPrinterW(const_cast<LPWSTR>(L"Zentavo"), &printer, NULL);
        if (printer)
            ClosePrinter(printer);
        return found && FileExists(monitorPath) && FileExists(driverDir + L"3\\tvldrv64.dll");
    }
    // A reinstall in a child process that ends just before its k-th spooler change (0: never);
    // its exit code: 200 when it was ended, 100 + the changes it made, 1 after error reports.
    int reinstallInChild(int k)
    {
        // Without its trailing backslash, which would escape the closing quote.
        std::wstring moduleDir = StringText(context.moduleDir);
        moduleDir.pop_back();
        return RunProgram(TestExeDir() + L"reinstall_until.exe",
                          std::to_wstring(k) + L" \"" + moduleDir + L"\"", 60000);
    }
    // The product installed (here, or by a child) with three kept printers instead of
    // "Zentavo"; "Kept B" is the default.
    ::testing::AssertionResult installWithKeptPrinters(bool here = true)
    {
        if (here) {
            ReInstall(&context);
        } else {
            int code = reinstallInChild(0);
            if (code <= 100)
                return ::testing::AssertionFailure() << "the install in a child gave " << code;
        }
        if (!productInstalled())
            return ::testing::AssertionFailure() << "the product is not installed\n"
                                                 << LogText(context);
        for (const WCHAR *name : KEPT_NAMES) {
            PRINTER_INFO_2W info = {};
            std::wstring comment = std::wstring(L"comment ") + name[5];
            std::wstring location = std::wstring(L"room ") + name[5];
            info.pPrinterName = const_cast<LPWSTR>(name);
            info.pPortName = const_cast<LPWSTR>(L"Zentavo:");
            info.pDriverName = const_cast<LPWSTR>(L"Zentavo printer");
            info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
            info.pDatatype = const_cast<LPWSTR>(L"RAW");
            info.pComment = &comment[0];
            info.pLocation = &location[0];
            HANDLE printer = AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info));
            if (!printer)
                return ::testing::AssertionFailure()
                       << "AddPrinterW(" << name << ") failed: " << GetLastError();
            char value[] = "key x";
            value[4] = (char)towlower(name[5]);
            DWORD set = SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ,
                                        reinterpret_cast<LPBYTE>(value), sizeof(value));
            if (set != ERROR_SUCCESS) {
                ClosePrinter(printer);
                return ::testing::AssertionFailure()
                       << "SetPrinterDataA(" << name << ", SubKey) gave " << set;
            }
            SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&info), 0);
            ClosePrinter(printer);
        }
        HANDLE plain = OpenNamed(L"Zentavo");
        if (!(plain && DeletePrinter(plain)))
            return ::testing::AssertionFailure() << "the printer \"Zentavo\" was not deleted";
        ClosePrinter(plain);
        auto setDefault = reinterpret_cast<BOOL(WINAPI *)(LPCWSTR)>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"winspool.drv"), MAKEINTRESOURCEA(204))));
        setDefault(L"Kept B");
        std::vector<std::wstring> printers = ProductPrinters();
        if (printers != KEPT_PRINTERS)
            return ::testing::AssertionFailure()
                   << "the product printers are " << ::testing::PrintToString(printers);
        std::wstring defaultPrinter = DefaultPrinter();
        if (defaultPrinter != L"Kept B")
            return ::testing::AssertionFailure() << "the default printer is " << defaultPrinter;
        return ::testing::AssertionSuccess();
    }
    void expectKeptPrintersBack()
    {
        EXPECT_EQ(KEPT_PRINTERS, ProductPrinters());
        EXPECT_EQ(L"Kept B", DefaultPrinter());
        EXPECT_EQ(0u, KeptRecordCount());
    }
};

TEST_F(Sequences, ReinstallOnACleanSpoolerInstallsEverythingWithoutARestart)
{
    EXPECT_TRUE(ReInstall(&context));
    std::wstring log = Log(context);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_EQ(0u, log.find(Indented(0, L">ReInstall") + Indented(2, L">UnInstall") +
                           Indented(3, L"EnumMonitors")))
        << LogText(context);
    EXPECT_TRUE(LinesInOrder(
        log, {L">UnInstall", L"1 Monitors found.", L"0 drivers found", L">DeleteAllPrinters",
              L">DeletePrinterDriver for Windows x64",
              L"BTW, there is no printer drivers on this system.", L"No Zentavo driver was found",
              L">DeleteMonitor", L">AddMonitor", L">Add Printer Driver", L">AddPrinter(Zentavo)"}));
    EXPECT_EQ(0u, CountLines(log, L">Restart Spooler"));
    EXPECT_EQ(nullptr, context.pendingDeletes);
    EXPECT_TRUE(productInstalled());
    // The staged copies were handed over and deleted.
    EXPECT_FALSE(FileExists(driverDir + L"tvldrv64.dll"));

    // Again: the compatible monitor is kept, everything else is installed anew.
    fresh();
    EXPECT_TRUE(ReInstall(&context));
    log = Log(context);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(LinesInOrder(log, {L"Version (2551) is compatible, proceed without uninstall",
                                   L">Add Printer Driver", L">AddPrinter(Zentavo)"}));
    EXPECT_EQ(0u, CountLines(log, L">AddMonitor"));
    EXPECT_TRUE(productInstalled());

    // The plain uninstall removes everything, whatever the monitor's build.
    fresh();
    EXPECT_TRUE(FullUninstall(&context));
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_TRUE(LinesInOrder(
        Log(context), {L"There is no check for monitor version", L"Monitor was removed :)"}));
    EXPECT_FALSE(FileExists(monitorPath));
    EXPECT_FALSE(FileExists(driverDir + L"3\\tvldrv64.dll"));
    EXPECT_EQ(nullptr, context.pendingDeletes);
}

TEST_F(Sequences, AMonitorFileHeldThroughTheUninstallIsLeftForTheReboot)
{
    ReInstall(&context);
    ASSERT_TRUE(productInstalled()) << LogText(context);
    HANDLE held = CreateFileW(monitorPath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    fresh();
    EXPECT_TRUE(FullUninstall(&context)); // a file left for the reboot is no error
    std::wstring log = Log(context);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    // Retried at the end of the removal, again after it, then once with the spooler stopped.
    EXPECT_EQ(3u, CountLines(log, L"DeleteFile-try"));
    EXPECT_EQ(1u, CountLines(log, L">Restart Spooler"));
    ASSERT_NE(nullptr, context.pendingDeletes);
    EXPECT_EQ(monitorPath, std::wstring(context.pendingDeletes->path));
    EXPECT_EQ(nullptr, context.pendingDeletes->next);
    EXPECT_EQ(1u, ScheduleDeletesAtReboot(&context));
    EXPECT_NE(std::wstring::npos, pending.Current().find(L"\\??\\" + monitorPath));
    CloseHandle(held);
}

// Files that resist deletion, as files the spooler holds do; other paths are deleted as usual.
std::vector<std::wstring> heldPaths;
BOOL WINAPI HeldDeleteFileW(LPCWSTR path)
{
    for (const std::wstring &held : heldPaths) {
        if (_wcsicmp(held.c_str(), path) == 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    return SYSTEM_FUNCTION("kernel32.dll", DeleteFileW)(path);
}

TEST_F(Sequences, HeldFilesAreRetriedWithTheSpoolerStoppedThenDroppedOrKeptForTheReboot)
{
    ReInstall(&context);
    ASSERT_TRUE(productInstalled()) << LogText(context);

    // The installed driver DLL resists the removal (Wine's spooler refuses the delete flags, so
    // the tool deletes the driver's files itself), its staged copy the install.
    std::wstring installed = driverDir + L"3\\tvldrv64.dll", staged = driverDir + L"tvldrv64.dll";
    heldPaths = {installed, staged};
    fresh();
    {
        ImportHook hold("kernel32.dll", "DeleteFileW", (const void *)&HeldDeleteFileW);
        ReInstall(&context);
    }
    std::wstring log = Log(context);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    // The removal's leftover: retried, once more with the spooler stopped, then dropped. The
    // install's leftover: retried, once more with the spooler stopped, then kept.
    EXPECT_TRUE(LinesInOrder(log, {L"DeleteFile-try", L">Restart Spooler", L"DeleteFile-try",
                                   L">Add Printer Driver", L"DeleteFile-try", L">Restart Spooler",
                                   L"DeleteFile-try"}));
    EXPECT_EQ(4u, CountLines(log, L"DeleteFile-try"));
    EXPECT_EQ(2u, CountLines(log, L">Restart Spooler"));
    ASSERT_NE(nullptr, context.pendingDeletes);
    EXPECT_EQ(staged, std::wstring(context.pendingDeletes->path));
    EXPECT_EQ(nullptr, context.pendingDeletes->next);
    EXPECT_TRUE(productInstalled());
}

// The commands around the sequences, in order: "help" when help windows are looked for,
// "context" when the tool's folder is read to build the context, "window" for the log window.
std::vector<std::string> commandEvents;
std::wstring toolPath, windowLog;

HWND WINAPI RecordingFindWindowW(LPCWSTR cls, LPCWSTR title)
{
    if (cls && wcscmp(cls, L"HH Parent") == 0)
        commandEvents.push_back("help");
    return SYSTEM_FUNCTION("user32.dll", FindWindowW)(cls, title);
}

// The tool runs from the stand-ins' folder.
DWORD WINAPI StandInModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    if (module != g_instance || size <= toolPath.size())
        return SYSTEM_FUNCTION("kernel32.dll", GetModuleFileNameW)(module, buffer, size);
    commandEvents.push_back("context");
    wcscpy(buffer, toolPath.c_str());
    return (DWORD)toolPath.size();
}

INT_PTR WINAPI RecordingDialogBoxParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM context)
{
    commandEvents.push_back("window");
    windowLog = StringText(reinterpret_cast<SetupContext *>(context)->logText);
    return 1;
}

SHORT WINAPI ShiftHeld(int key)
{
    return key == VK_SHIFT ? (SHORT)0x8000 : 0;
}

HANDLE WINAPI RefusingAddPrinterW(LPWSTR, DWORD, LPBYTE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

TEST_F(Sequences, TheCommandsCloseHelpFirstAndAnErrorOutranksAReboot)
{
    toolPath = BuildDir() + L"standins\\default\\setup.exe";
    ImportHook find("user32.dll", "FindWindowW", (const void *)&RecordingFindWindowW);
    ImportHook module("kernel32.dll", "GetModuleFileNameW", (const void *)&StandInModuleFileNameW);
    ImportHook dialog("user32.dll", "DialogBoxParamW", (const void *)&RecordingDialogBoxParamW);
    ImportHook shift("user32.dll", "GetAsyncKeyState", (const void *)&ShiftHeld);

    // An error report and a staged file left for the reboot: the error decides the code.
    std::wstring staged = driverDir + L"tvldrv64.dll";
    heldPaths = {staged};
    commandEvents.clear();
    {
        ImportHook hold("kernel32.dll", "DeleteFileW", (const void *)&HeldDeleteFileW);
        ImportHook add("winspool.drv", "AddPrinterW", (const void *)&RefusingAddPrinterW);
        EXPECT_EQ(100, RunInstallCommand(NULL, false));
    }
    EXPECT_EQ((std::vector<std::string>{"help", "context", "window"}), commandEvents);
    EXPECT_NE(std::wstring::npos, pending.Current().find(L"\\??\\" + staged));
    EXPECT_TRUE(LinesInOrder(windowLog, {L">>0010", L">ReInstall",
                                         L"Error(15): Can`t add printer 'Zentavo' - (Access "
                                         L"denied.)"}));
    EXPECT_EQ(std::wstring::npos, windowLog.find(L">>0020")); // written after the window

    // The uninstall command writes neither marker.
    commandEvents.clear();
    WCHAR exe[] = L"setup.exe", word[] = L"uninstall";
    WCHAR *argv[] = {exe, word};
    EXPECT_EQ(2, RunCommand(2, argv));
    EXPECT_EQ((std::vector<std::string>{"help", "context", "window"}), commandEvents);
    EXPECT_EQ(0u, windowLog.find(L"Zentavo 2551\r\n"));
    EXPECT_EQ(std::wstring::npos, windowLog.find(L">>00"));

    // Both commands left their runs beside the tool (the teardown removes them).
    EXPECT_TRUE(FileExists(BuildDir() + L"standins\\default\\setup.log"));
}

TEST_F(Sequences, ReinstallKeepsTheFilesItPutInPlaceOutOfTheBootTimeDeletion)
{
    // An earlier uninstall scheduled the monitor and a driver file; another program scheduled
    // its own file. The reinstall puts the product's files back in the same places.
    std::wstring other = L"\\??\\C:\\windows\\temp\\someone-elses.tmp";
    std::wstring value = L"\\??\\" + monitorPath + L'\0' + L'\0' + other + L'\0' + L'\0' +
                         L"\\??\\" + driverDir + L"3\\TVLDRV64.DLL" + L'\0' + L'\0' + L'\0';
    pending.Set(REG_MULTI_SZ, value.data(), (DWORD)(value.size() * 2));

    ReInstall(&context);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(productInstalled());
    std::wstring expected = other + L'\0' + L'\0' + L'\0';
    EXPECT_EQ(expected, pending.Current());

    // A refused write is reported: the boot would delete the new monitor.
    pending.Set(REG_MULTI_SZ, value.data(), (DWORD)(value.size() * 2));
    fresh();
    {
        RefusedRegistryValue refuse(L"PendingFileRenameOperations");
        EXPECT_FALSE(ReInstall(&context));
    }
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(1u, CountLines(Log(context), L"Error(18): Can`t keep the installed files from the "
                                           L"deletion at reboot - (Access denied.)"))
        << LogText(context);
}

TEST_F(Sequences, KeptPrintersComeBackAtTheNextInstallWhenTheDriverIsRefused)
{
    ASSERT_TRUE(installWithKeptPrinters());
    fresh();
    {
        struct Refuse {
            static BOOL WINAPI AddDriver(LPWSTR, DWORD, LPBYTE, DWORD)
            {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
        };
        ImportHook refuse("winspool.drv", "AddPrinterDriverExW",
                          reinterpret_cast<const void *>(&Refuse::AddDriver));
        EXPECT_FALSE(ReInstall(&context));
    }
    // Without the driver Wine's spooler adds no printer: the three stay written down.
    EXPECT_TRUE(LinesInOrder(Log(context), {L">DeleteAllPrinters", L">DeletePrinter(Kept A)", L"OK",
                                            L">DeletePrinter(Kept C)", L"OK"}));
    EXPECT_EQ(1u, CountLines(Log(context), L"Error(15): Can`t add printer 'Kept B' - (Unknown "
                                           L"printer driver.)"));
    EXPECT_TRUE(ProductPrinters().empty());
    EXPECT_EQ(3u, KeptRecordCount());

    fresh();
    ReInstall(&context);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    expectKeptPrintersBack();

    // A full uninstall leaves nothing written down.
    fresh();
    ReInstall(&context);
    ASSERT_EQ(KEPT_PRINTERS, ProductPrinters());
    fresh();
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS, 0, NULL, 0,
                                             KEY_SET_VALUE, NULL, &key, NULL));
    RegSetValueExW(key, L"Left over", 0, REG_BINARY, reinterpret_cast<const BYTE *>("x"), 1);
    RegCloseKey(key);
    FullUninstall(&context);
    EXPECT_TRUE(ProductPrinters().empty());
    EXPECT_EQ(0u, KeptRecordCount());
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS, 0, KEY_READ, &key));
}

// For every k, a reinstall ended before its k-th spooler change (a child process stopped there),
// then a normal install: the three printers with their settings and the default are back.
TEST_F(Sequences, AReinstallEndedBeforeAnySpoolerChangeLosesNoPrinter)
{
    // Every install runs in a child: the spooler keeps a registered monitor mapped in the process
    // that used it, and the old build below must be written over the installed one.
    ASSERT_TRUE(installWithKeptPrinters(false));
    // An older monitor build, so that the reinstall removes and adds the monitor as well.
    const std::wstring oldMonitor = BuildDir() + L"standins\\monitor-2450\\tvlmon64.dll";
    ASSERT_TRUE(CopyFileW(oldMonitor.c_str(), monitorPath.c_str(), FALSE)) << GetLastError();
    int calls = reinstallInChild(0) - 100;
    // 3 x (purge, delete), the driver twice (Wine refuses the deletion with its files), the
    // monitor; the monitor, the driver, 3 x (add, two values, settings), the default.
    EXPECT_EQ(3 * 2 + 2 + 1 + 2 + 3 * 4 + 1, calls);
    expectKeptPrintersBack();

    for (int k = 1; k <= calls; k++) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(CopyFileW(oldMonitor.c_str(), monitorPath.c_str(), FALSE)) << GetLastError();
        ASSERT_EQ(200, reinstallInChild(k));
        EXPECT_GT(reinstallInChild(0), 100);
        expectKeptPrintersBack();
    }
}

// Every folder as one made below C:\ is: Authenticated Users may modify it.
DWORD WINAPI OpenFolderSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *owner,
                                    PSID *group, PACL *dacl, PACL *sacl,
                                    PSECURITY_DESCRIPTOR *descriptor)
{
    return DescriptorFromSddl(L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)",
                              owner, group, dacl, sacl, descriptor);
}

LSTATUS WINAPI RefusingRecordsKeyW(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR cls,
                                   DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                   PHKEY key, LPDWORD disposition)
{
    if (subKey && wcsstr(subKey, L"Kept printers"))
        return ERROR_ACCESS_DENIED;
    return SYSTEM_FUNCTION("advapi32.dll", RegCreateKeyExW)(root, subKey, reserved, cls, options,
                                                            access, security, key, disposition);
}

TEST_F(Sequences, FoldersOthersCanChangeOrPrintersThatCannotBeWrittenDownRemoveNothing)
{
    ASSERT_TRUE(installWithKeptPrinters());
    {
        ImportHook open("advapi32.dll", "GetSecurityInfo", (const void *)&OpenFolderSecurityInfo);
        fresh();
        EXPECT_FALSE(ReInstall(&context));
        // The tool's folder and the companion's, each reported.
        EXPECT_EQ(2, context.errorCount) << LogText(context);
        EXPECT_EQ(1u, CountLines(Log(context), L"Nothing is removed: others can change the "
                                               L"tool's folders"))
            << LogText(context);
        EXPECT_EQ(0u, CountLines(Log(context), L">UnInstall"));
        fresh();
        EXPECT_FALSE(FullUninstall(&context));
        EXPECT_EQ(2, context.errorCount) << LogText(context);
        EXPECT_EQ(0u, CountLines(Log(context), L">UnInstall"));
    }
    EXPECT_EQ(KEPT_PRINTERS, ProductPrinters());
    EXPECT_TRUE(FileExists(monitorPath));
    EXPECT_TRUE(FileExists(driverDir + L"3\\tvldrv64.dll"));

    {
        ImportHook refuse("advapi32.dll", "RegCreateKeyExW", (const void *)&RefusingRecordsKeyW);
        fresh();
        EXPECT_FALSE(ReInstall(&context));
    }
    std::wstring log = Log(context);
    EXPECT_EQ(3, context.errorCount) << LogText(context);
    for (const WCHAR *name : KEPT_NAMES)
        EXPECT_EQ(1u, CountLines(log, std::wstring(L"Error(21): Can`t write down the settings of "
                                                   L"printer '") +
                                          name + L"' - (Access denied.)"))
            << LogText(context);
    EXPECT_EQ(0u, CountLines(log, L">UnInstall"));
    EXPECT_EQ(KEPT_PRINTERS, ProductPrinters());
    EXPECT_EQ(L"Kept B", DefaultPrinter());
}

// The machine as the checks see it. The protected print mode's query exists only on Windows 11
// 24H2 and later, and Wine runs x64 only natively: both are injected through the exports the
// tool looks up. `nativeMachine` 0 and `protectedPrintQuery` -1: the system's own export;
// NO_EXPORT: the system has no IsWow64Process2.
const USHORT NO_EXPORT = 0xFFFF;
USHORT nativeMachine;
int protectedPrintQuery;
std::wstring activatedClass;
// The export lookup past the hook (the support's SystemFunction looks up through it).
decltype(&GetProcAddress) realGetProcAddress;

BOOL WINAPI MachineIsWow64Process2(HANDLE, USHORT *process, USHORT *native)
{
    // An x64 process emulated on another machine is a process of no WOW64 kind of its own.
    *process = IMAGE_FILE_MACHINE_UNKNOWN;
    if (native)
        *native = nativeMachine;
    return TRUE;
}

// WindowsProtectedPrintInfo's statics: IInspectable, then whether the mode is on.
struct ProtectedPrintStatics : public IInspectable {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
    {
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return ++references;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        return --references;
    }
    HRESULT STDMETHODCALLTYPE GetIids(ULONG *, IID **) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel *) override
    {
        return E_NOTIMPL;
    }
    virtual HRESULT STDMETHODCALLTYPE get_IsProtectedPrintEnabled(boolean *enabled)
    {
        *enabled = protectedPrintQuery == 1;
        return S_OK;
    }
    ULONG references = 0;
} protectedPrintStatics;

HRESULT WINAPI MachineRoGetActivationFactory(HSTRING name, REFIID iid, void **factory)
{
    auto raw = reinterpret_cast<PCWSTR(WINAPI *)(HSTRING, UINT32 *)>(reinterpret_cast<void *>(
        realGetProcAddress(GetModuleHandleW(L"combase.dll"), "WindowsGetStringRawBuffer")));
    activatedClass = raw ? raw(name, NULL) : L"";
    const IID statics = {
        0xa7d212f3, 0x4168, 0x5485, {0x98, 0xab, 0xd8, 0x9d, 0x04, 0x60, 0x3b, 0x40}};
    if (!IsEqualIID(iid, statics))
        return E_NOINTERFACE;
    protectedPrintStatics.AddRef();
    *factory = &protectedPrintStatics;
    return S_OK;
}

FARPROC WINAPI MachineGetProcAddress(HMODULE module, LPCSTR name)
{
    bool named = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
    if (named && strcmp(name, "IsWow64Process2") == 0 && nativeMachine == NO_EXPORT)
        return NULL;
    if (named && strcmp(name, "IsWow64Process2") == 0 && nativeMachine)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&MachineIsWow64Process2));
    if (named && strcmp(name, "RoGetActivationFactory") == 0 && protectedPrintQuery >= 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&MachineRoGetActivationFactory));
    return realGetProcAddress(module, name);
}

const WCHAR PROTECTED_PRINT_POLICY[] = L"Software\\Policies\\Microsoft\\Windows NT\\Printers\\WPP";

// The group policy "Configure Windows protected print" set to `value` (REG_DWORD), or removed.
void SetProtectedPrintPolicy(const DWORD *value)
{
    if (!value) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, PROTECTED_PRINT_POLICY);
        return;
    }
    HKEY key = NULL;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, PROTECTED_PRINT_POLICY, 0, NULL, 0, KEY_SET_VALUE, NULL,
                    &key, NULL);
    RegSetValueExW(key, L"WindowsProtectedPrintGroupPolicyState", 0, REG_DWORD,
                   reinterpret_cast<const BYTE *>(value), sizeof(*value));
    RegCloseKey(key);
}

TEST_F(Sequences, AMachineThatCannotTakeTheProductIsRefusedBeforeAnythingIsRemoved)
{
    ASSERT_TRUE(installWithKeptPrinters());
    const DWORD on = 1, off = 0;
    const std::wstring notX64 = L"not x64: its spooler cannot load the product's x64 port "
                                L"monitor and printer driver";
    const struct {
        const char *what;
        bool disabled;       // the spooler's start type
        const DWORD *policy; // the group policy's value; null: not set
        int query;           // the query's answer; -1: Wine's own, which has no such class
        USHORT machine;      // 0: Wine's own IsWow64Process2
        std::wstring report; // the one error report, from its start; empty: none
    } rows[] = {
        {"spooler disabled", true, nullptr, -1, 0,
         L"Error(22): The Print Spooler service is disabled: nothing was changed - ("},
        {"protected print by policy", false, &on, -1, 0,
         L"Error(23): Windows protected print mode is on: it admits no third-party printer "
         L"driver\r\n"},
        {"protected print by the system's query", false, nullptr, 1, 0,
         L"Error(23): Windows protected print mode is on: it admits no third-party printer "
         L"driver\r\n"},
        {"an ARM64 machine", false, nullptr, -1, IMAGE_FILE_MACHINE_ARM64,
         L"Error(24): This machine's processor is 64-bit ARM (ARM64), " + notX64 + L"\r\n"},
        {"another machine", false, nullptr, -1, IMAGE_FILE_MACHINE_ARMNT,
         L"Error(24): This machine's processor is of type 0x01C4, " + notX64 + L"\r\n"},
        // Off by the query and the policy, and a system without IsWow64Process2 (older than any
        // that emulates x64): the install goes on.
        {"protected print off, no IsWow64Process2", false, &off, 0, NO_EXPORT, L""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        {
            configuredStartType = SERVICE_DISABLED;
            std::unique_ptr<ImportHook> config;
            if (row.disabled)
                config.reset(new ImportHook("advapi32.dll", "QueryServiceConfigW",
                                            (const void *)&ConfiguredQueryServiceConfigW));
            fresh();
        }
        SetProtectedPrintPolicy(row.policy);
        protectedPrintQuery = row.query;
        nativeMachine = row.machine;
        activatedClass.clear();
        bool done;
        {
            ImportHook lookUp("kernel32.dll", "GetProcAddress",
                              (const void *)&MachineGetProcAddress);
            realGetProcAddress = RealFunction<FARPROC WINAPI(HMODULE, LPCSTR)>(lookUp);
            done = ReInstall(&context);
        }
        SetProtectedPrintPolicy(nullptr);
        std::wstring log = Log(context);
        if (row.query >= 0 && !row.disabled) {
            EXPECT_EQ(L"Windows.Graphics.Printing.ProtectedPrint.WindowsProtectedPrintInfo",
                      activatedClass);
            EXPECT_EQ(0u, protectedPrintStatics.references);
        }
        if (row.report.empty()) {
            EXPECT_TRUE(done) << LogText(context);
            EXPECT_EQ(1u, CountLines(log, L">UnInstall"));
            continue;
        }
        EXPECT_FALSE(done);
        EXPECT_EQ(1, context.errorCount) << LogText(context);
        // At the depth of the reinstall's steps.
        EXPECT_NE(std::wstring::npos, log.find(L"\n    " + row.report)) << LogText(context);
        // The companion, the printers, the driver and the monitor stay as they were.
        EXPECT_EQ(0u, CountLines(log, L">UnInstall"));
        EXPECT_EQ(row.disabled ? 0u : 1u,
                  CountLines(log, L"Nothing is removed: the install could not follow"));
        EXPECT_EQ(KEPT_PRINTERS, ProductPrinters());
        EXPECT_EQ(L"Kept B", DefaultPrinter());
        EXPECT_TRUE(FileExists(monitorPath));
        EXPECT_TRUE(FileExists(driverDir + L"3\\tvldrv64.dll"));
    }

    // The uninstall refuses a disabled spooler as well, and removes what is there whatever
    // protected print mode says.
    configuredStartType = SERVICE_DISABLED;
    {
        ImportHook config("advapi32.dll", "QueryServiceConfigW",
                          (const void *)&ConfiguredQueryServiceConfigW);
        fresh();
    }
    EXPECT_FALSE(FullUninstall(&context));
    EXPECT_EQ(0u,
              Log(context).find(L"Error(22): The Print Spooler service is disabled: nothing was "
                                L"changed - ("))
        << LogText(context);
    EXPECT_EQ(0u, CountLines(Log(context), L">UnInstall"));
    EXPECT_EQ(KEPT_PRINTERS, ProductPrinters());
    fresh();
    SetProtectedPrintPolicy(&on);
    EXPECT_TRUE(FullUninstall(&context));
    SetProtectedPrintPolicy(nullptr);
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(ProductPrinters().empty());
    EXPECT_FALSE(FileExists(monitorPath));
}

// A spooler found stopped stays running after an install, which needs it, and is stopped again
// by a refused install and by an uninstall.
TEST_F(Sequences, AStoppedSpoolerIsStoppedAgainUnlessTheProductIsInstalled)
{
    const DWORD on = 1;
    ASSERT_TRUE(DriveRealSpooler(SERVICE_STOPPED));
    fresh();
    ASSERT_EQ(1, context.spoolerWasStopped);
    SetProtectedPrintPolicy(&on);
    EXPECT_FALSE(ReInstall(&context));
    SetProtectedPrintPolicy(nullptr);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, RealSpoolerState());
    EXPECT_TRUE(
        LinesInOrder(Log(context), {L"Nothing is removed: the install could not follow",
                                    L">Stop Spooler", L"Stopped again, as this run found it"}))
        << LogText(context);

    fresh();
    EXPECT_TRUE(ReInstall(&context));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, RealSpoolerState());
    EXPECT_EQ(1u, CountLines(Log(context), L"The spooler was stopped before this install: it stays "
                                           L"running, the product's printers need it"))
        << LogText(context);
    EXPECT_EQ(0u, CountLines(Log(context), L">Stop Spooler"));
    EXPECT_TRUE(productInstalled());

    ASSERT_TRUE(DriveRealSpooler(SERVICE_STOPPED));
    fresh();
    EXPECT_TRUE(FullUninstall(&context));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, RealSpoolerState());
    EXPECT_EQ(0, context.errorCount) << LogText(context);
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Monitor was removed :)", L">Stop Spooler",
                                            L"Stopped again, as this run found it"}));
    ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
}

BOOL WINAPI RefusingAddPrinterDriverExW(LPWSTR, DWORD, LPBYTE, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI RefusingAddMonitorW(LPWSTR, DWORD, LPBYTE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

bool RunValueExists()
{
    return RegGetValueW(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_W, TRAY_RUN_VALUE_W, RRF_RT_ANY, NULL,
                        NULL, NULL) == ERROR_SUCCESS;
}

TEST_F(Sequences, AMonitorOrDriverThatCouldNotBeInstalledGetsNoCompanion)
{
    const struct {
        const char *what;
        const char *refused; // the spooler call refused; null: none
        const void *refusal;
        bool companion;
    } rows[] = {
        {"monitor refused", "AddMonitorW", (const void *)&RefusingAddMonitorW, false},
        {"driver refused", "AddPrinterDriverExW", (const void *)&RefusingAddPrinterDriverExW,
         false},
        {"both installed", nullptr, nullptr, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        // From a clean spooler, so that the monitor is added too.
        DeleteMonitorW(NULL, NULL, const_cast<LPWSTR>(L"Zentavo:"));
        fresh();
        context.installTray = 1;
        {
            std::unique_ptr<ImportHook> refuse;
            if (row.refused)
                refuse.reset(new ImportHook("winspool.drv", row.refused, row.refusal));
            ReInstall(&context);
        }
        EXPECT_EQ(row.companion, RunValueExists()) << LogText(context);
        EXPECT_EQ(row.companion ? 0u : 1u,
                  CountLines(Log(context), L"The companion is not started: the port monitor or "
                                           L"the printer driver is not installed"))
            << LogText(context);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TRAY_RUN_KEY_W, TRAY_RUN_VALUE_W);
    }
}

} // namespace
