// The port monitor's install and removal: its lookup, builds kept, its file, the parked printers.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "printing/port_monitor.h"
#include "printing_test_support.h"
#include "setup_context.h"
#include "setup_log.h"
#include "virtual_clock.h"

namespace {

TEST(FindPortMonitor, MatchesOnlyTheWholeNameInLevelOneAndTwoLists)
{
    MonitorList two = MakeMonitorList({{L"Local Port", L"localspl.dll"},
                                       {L"", L"x.dll"},
                                       {L"zentavo:", L"a.dll"},
                                       {L"Zentavo:x", L"b.dll"},
                                       {L"Zentavo:", L"tvlmon64.dll"},
                                       {L"Zentavo:", L"second.dll"}});
    EXPECT_EQ(4, FindPortMonitor(two));
    two.level = 1; // the same block read as one-pointer records finds nothing at index 4
    MonitorList one = MakeMonitorList({{L"Local Port", L""}, {L"Zentavo:", L""}}, 1);
    EXPECT_EQ(1, FindPortMonitor(one));
    one.level = 3;
    EXPECT_EQ(-1, FindPortMonitor(one));
    MonitorList none = MakeMonitorList({}, 2);
    EXPECT_EQ(-1, FindPortMonitor(none));
    ReleaseSpoolerList(&two);
    ReleaseSpoolerList(&one);
    ReleaseSpoolerList(&none);
}

TEST(LogPortMonitors, NumbersTheEntriesAndMarksEmptyNames)
{
    SetupContext context = {};
    MonitorList list = MakeMonitorList({{L"Local Port", L"localspl.dll"}, {L"", L"x.dll"}});
    LogPortMonitors(&context, list);
    EXPECT_EQ(L"------- 2 existing monitors ----------\r\n"
              L"1. Local Port\r\n"
              L"2. ***EMPTY***\r\n"
              L"---------------------------------------\r\n",
              Log(context));
    ReleaseSpoolerList(&list);
    FreeSetupContext(&context);
}

// Records the spooler's monitor calls and answers them as a test asks.
struct MonitorCalls {
    int deleteAttempts = 0;
    int deleteSucceedsAt = 1; // 0: never
    int addAttempts = 0;
    int addSucceedsAt = 1; // 0: never
    std::wstring addedName, addedEnvironment, addedDll;
    std::vector<std::wstring> deletedFiles;
    std::wstring systemDir;
    static MonitorCalls *current;
};
MonitorCalls *MonitorCalls::current;

BOOL WINAPI FakeDeleteMonitorW(LPWSTR, LPWSTR, LPWSTR name)
{
    MonitorCalls *calls = MonitorCalls::current;
    EXPECT_STREQ(L"Zentavo:", name);
    calls->deleteAttempts++;
    if (calls->deleteSucceedsAt && calls->deleteAttempts >= calls->deleteSucceedsAt)
        return TRUE;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI FakeAddMonitorW(LPWSTR, DWORD level, LPBYTE info)
{
    MonitorCalls *calls = MonitorCalls::current;
    EXPECT_EQ(2u, level);
    MONITOR_INFO_2W *monitor = reinterpret_cast<MONITOR_INFO_2W *>(info);
    calls->addedName = monitor->pName;
    calls->addedEnvironment = monitor->pEnvironment;
    calls->addedDll = monitor->pDLLName;
    calls->addAttempts++;
    if (calls->addSucceedsAt && calls->addAttempts >= calls->addSucceedsAt)
        return TRUE;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Files in the system directory are only recorded: the tests must not delete real ones.
BOOL WINAPI FakeDeleteFileW(LPCWSTR path)
{
    MonitorCalls *calls = MonitorCalls::current;
    std::wstring p = path;
    if (p.compare(0, calls->systemDir.size(), calls->systemDir) == 0) {
        calls->deletedFiles.push_back(p);
        return TRUE;
    }
    return SYSTEM_FUNCTION("kernel32.dll", DeleteFileW)(path);
}

class PortMonitor : public ::testing::Test {
protected:
    SetupContext context = {};
    MonitorCalls calls;
    VirtualClock clock;

    void SetUp() override
    {
        // Before the context: its check of the real spooler polls on the clock as well.
        LetTheSpoolerMove(clock);
        MakeContext(&context);
        calls.systemDir = StringText(context.systemDir);
        MonitorCalls::current = &calls;
    }
    void TearDown() override
    {
        FreeSetupContext(&context);
        MonitorCalls::current = nullptr;
    }
    std::wstring SystemFile(const std::wstring &name)
    {
        return calls.systemDir + name;
    }
};

TEST_F(PortMonitor, RemovalWithAnEmptyListComputesThePathAndEndsQuietly)
{
    // Against Wine's spooler: "Zentavo:" is not registered, so DeleteMonitorW fails (3000).
    MonitorList empty = {};
    EXPECT_EQ(MONITOR_NOT_REGISTERED, RemovePortMonitor(&context, empty));
    EXPECT_TRUE(LinesInOrder(Log(context),
                             {L">DeleteMonitor", L"BTW, there is no port monitors on this system.",
                              L"No Zentavo port monitor was found.", L"Computing monitor filename",
                              L"Auto calculated monitor file name: " + SystemFile(L"tvlmon64.dll"),
                              L"There is no check for monitor version",
                              L"Can't delete monitor and monitor was not found. So everything "
                              L"should be ok"}));
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_EQ(nullptr, context.pendingDeletes);
    EXPECT_EQ(nullptr, context.detachedPrinters);
}

TEST_F(PortMonitor, VersionWindowKeepsCompatibleBuilds)
{
    const struct {
        LONG build;
        bool registered;
        const WCHAR *line;
        MonitorRemoval removal;
    } cases[] = {
        {2450, true, L"Version (2450) is not supported, proceed with reinstall", MONITOR_REMOVED},
        {2451, true, L"Version (2451) is compatible, proceed without uninstall",
         MONITOR_KEPT_REGISTERED},
        {2551, true, L"Version (2551) is compatible, proceed without uninstall",
         MONITOR_KEPT_REGISTERED},
        {2551, false, L"Version (2551) is compatible, proceed without uninstall",
         MONITOR_KEPT_FILE},
        {2552, true, L"Version (2552) is not supported, proceed with reinstall", MONITOR_REMOVED},
        {-1, true, L"Version is unknown, proceed with reinstall", MONITOR_REMOVED},
    };
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&FakeDeleteFileW);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        FakeFileBuild build(c.build);
        MonitorList list = c.registered ? MakeMonitorList({{L"Zentavo:", L"tvlmon64.dll"}})
                                        : MakeMonitorList({{L"Local Port", L"localspl.dll"}});
        context.checkMonitorVersion = 1;
        context.installMonitor = 1;
        context.copyMonitor = 1;
        calls.deleteAttempts = 0;
        calls.deletedFiles.clear();
        FreeString(&context.logText);

        EXPECT_EQ(c.removal, RemovePortMonitor(&context, list));

        EXPECT_TRUE(LinesInOrder(Log(context), {c.line}));
        bool kept = c.removal != MONITOR_REMOVED;
        if (kept) {
            EXPECT_TRUE(LinesInOrder(Log(context),
                                     {c.registered ? L"InstallMonitor == 0, CopyMonitor == 1"
                                                   : L"InstallMonitor == 1, CopyMonitor == 0"}));
            EXPECT_EQ(0, calls.deleteAttempts);
            EXPECT_TRUE(calls.deletedFiles.empty());
        } else {
            EXPECT_EQ(1, calls.deleteAttempts);
            EXPECT_EQ(std::vector<std::wstring>{SystemFile(L"tvlmon64.dll")}, calls.deletedFiles);
            EXPECT_TRUE(LinesInOrder(Log(context), {L"Monitor was removed :)"}));
        }
        EXPECT_EQ(0, context.logDepth);
        ReleaseSpoolerList(&list);
    }
}

TEST_F(PortMonitor, OnlyTheProductsOwnRegisteredNameIsTrustedAsTheFileToDelete)
{
    const struct {
        const WCHAR *registered, *deleted;
    } cases[] = {
        {L"TVLMON64.DLL", L"TVLMON64.DLL"},
        {L"localspl.dll", L"tvlmon64.dll"}, // the spooler's own DLL
        {L"TVLMON~1.DLL", L"tvlmon64.dll"}, // a short name may be another file's
        {L"tvlmon32.dll", L"tvlmon64.dll"}, // the other file set's
        {L"own.dll", L"tvlmon64.dll"},
        {L"..\\..\\boot.ini", L"tvlmon64.dll"},
        {L"C:\\important.dll", L"tvlmon64.dll"},
        {L"C:important.dll", L"tvlmon64.dll"},
        {L"drivers\\x.sys", L"tvlmon64.dll"},
        {L"a/b.dll", L"tvlmon64.dll"},
        {L"..", L"tvlmon64.dll"},
        {L"", L"tvlmon64.dll"},
    };
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&FakeDeleteFileW);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.registered);
        MonitorList list =
            MakeMonitorList({{L"Local Port", L"localspl.dll"}, {L"Zentavo:", c.registered}});
        calls.deletedFiles.clear();
        FreeString(&context.logText);
        EXPECT_EQ(MONITOR_REMOVED, RemovePortMonitor(&context, list));
        EXPECT_TRUE(LinesInOrder(Log(context),
                                 {L"Port monitor is found. Index=2",
                                  L"Trying to get monitor filename from MONITOR_INFO_2",
                                  L"Auto calculated monitor file name: " + SystemFile(c.deleted),
                                  L"Monitor was removed :)"}));
        EXPECT_EQ(std::vector<std::wstring>{SystemFile(c.deleted)}, calls.deletedFiles);
        ReleaseSpoolerList(&list);
    }
    EXPECT_EQ(0, context.errorCount);
}

// Records every file DeleteFileW is asked for, deleting nothing.
std::vector<std::wstring> askedToDelete;
BOOL WINAPI RecordingDeleteFileW(LPCWSTR path)
{
    askedToDelete.push_back(path);
    return TRUE;
}

TEST_F(PortMonitor, WithoutTheSystemDirectoryNoBareNameIsReadOrDeleted)
{
    // The bare name would resolve against the current folder, often the tool's own.
    FreeString(&context.systemDir);
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&RecordingDeleteFileW);
    FakeFileBuild build(2551);
    calls.deleteSucceedsAt = 1;
    askedToDelete.clear();
    MonitorList list = MakeMonitorList({{L"Zentavo:", L"tvlmon64.dll"}});
    context.checkMonitorVersion = 1;
    MonitorRemoval removal = RemovePortMonitor(&context, list);
    ReleaseSpoolerList(&list);
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Auto calculated monitor file name: tvlmon64.dll",
                                            L"Version is unknown, proceed with reinstall",
                                            L"Monitor was removed :)"}));
    EXPECT_EQ(MONITOR_REMOVED, removal);
    EXPECT_TRUE(askedToDelete.empty());
    EXPECT_EQ(nullptr, context.pendingDeletes);
}

// Printers around the monitor's port: a foreign one on a port list, the product's own printer
// (deleted already, so it does not open), a connection, and names that only look alike.
std::vector<PrinterSpec> PrintersOnThePort()
{
    std::vector<PrinterSpec> specs(6);
    specs[0] = Spec(L"Office", L"file:,Zentavo:", L"Other driver", L"current", L"Hall");
    specs[1] = Spec(L"Lpt", L"LPT1:,Zentavo:", L"Other driver", L"", L"");
    specs[2] = Spec(L"Remote", L"Zentavo:", L"Zentavo printer", L"", L"");
    specs[2].attributes = PRINTER_ATTRIBUTE_NETWORK;
    specs[2].server = L"\\\\server";
    specs[3] = Spec(L"Lower", L"zentavo:", L"Other driver", L"", L"");
    specs[4] = Spec(L"Plain", L"LPT2:", L"Other driver", L"", L"");
    specs[5] = Spec(L"Zentavo", L"Zentavo:", L"Zentavo printer", L"", L"");
    return specs;
}

class ParkedPrinters : public PortMonitor {
protected:
    void SetUp() override
    {
        PortMonitor::SetUp();
        std::vector<PrinterSpec> snapshot = PrintersOnThePort();
        // The snapshot is older than the printers: its comment is stale, its default mark added.
        snapshot[0].comment = L"stale";
        snapshot[0].attributes |= PRINTER_ATTRIBUTE_DEFAULT;
        ReleaseSpoolerList(&context.printers);
        context.printers = MakePrinterList(snapshot);
    }
};

TEST_F(ParkedPrinters, ComeBackWithExactlyThePortTheyHad)
{
    std::vector<PrinterSpec> live = PrintersOnThePort();
    live.pop_back(); // the product's printer is gone
    FakePrinters spooler(live);
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook addMonitor("winspool.drv", "AddMonitorW", (const void *)&FakeAddMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&FakeDeleteFileW);
    calls.deleteSucceedsAt = 3; // refused before and after parking, taken after the restart
    MonitorList list = MakeMonitorList({{L"Zentavo:", L"tvlmon64.dll"}});

    EXPECT_EQ(MONITOR_REMOVED, RemovePortMonitor(&context, list));

    EXPECT_EQ(3, calls.deleteAttempts);
    EXPECT_EQ(L"file:,file:", spooler.find(L"Office")->spec.port);
    EXPECT_EQ(L"LPT1:,file:", spooler.find(L"Lpt")->spec.port);
    EXPECT_EQ(L"Zentavo:", spooler.find(L"Remote")->spec.port); // a connection is not ours
    EXPECT_EQ(L"zentavo:", spooler.find(L"Lower")->spec.port);
    ASSERT_NE(nullptr, context.detachedPrinters);
    EXPECT_STREQ(L"Office", context.detachedPrinters[0]->pPrinterName);
    EXPECT_STREQ(L"Lpt", context.detachedPrinters[1]->pPrinterName);
    EXPECT_STREQ(L"Zentavo", context.detachedPrinters[2]->pPrinterName);
    EXPECT_EQ(nullptr, context.detachedPrinters[3]);
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Can't delete monitor from the first try",
                                            L"SetPrinter(Office) - ok", L"SetPrinter(Lpt) - ok",
                                            L"Can't open printer Zentavo", L">Restart Spooler",
                                            L"Monitor was removed :)"}));
    EXPECT_EQ(0, context.errorCount);

    context.copyMonitor = 0;
    spooler.sets.clear();
    FreeString(&context.logText);
    EXPECT_TRUE(InstallPortMonitor(&context));

    EXPECT_EQ(L"Zentavo:", calls.addedName);
    EXPECT_EQ(L"Windows x64", calls.addedEnvironment);
    EXPECT_EQ(L"tvlmon64.dll", calls.addedDll);
    EXPECT_EQ(L"file:,Zentavo:", spooler.find(L"Office")->spec.port);
    EXPECT_EQ(L"LPT1:,Zentavo:", spooler.find(L"Lpt")->spec.port);
    ASSERT_EQ(2u, spooler.sets.size());
    // Only the port changed: the live comment, no default mark from the snapshot.
    EXPECT_EQ(L"current", spooler.sets[0].comment);
    EXPECT_EQ(L"Hall", spooler.sets[0].location);
    EXPECT_EQ((DWORD)PRINTER_ATTRIBUTE_LOCAL, spooler.sets[0].attributes);
    EXPECT_EQ(0u, spooler.sets[0].command);
    EXPECT_TRUE(
        LinesInOrder(Log(context), {L">AddMonitor", L"Skip copy monitor file",
                                    L"AddMonitor - OK :)", L"SetPrinter(Office) - ok",
                                    L"SetPrinter(Lpt) - ok", L"Can't open printer Zentavo"}));
    EXPECT_EQ(0, spooler.openHandles);
    EXPECT_EQ(0, context.logDepth);
    ReleaseSpoolerList(&list);
}

TEST_F(ParkedPrinters, AreMovedBackWhenTheMonitorCannotBeRemoved)
{
    FakePrinters spooler(PrintersOnThePort());
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&FakeDeleteFileW);
    calls.deleteSucceedsAt = 0;
    MonitorList list = MakeMonitorList({{L"Zentavo:", L"tvlmon64.dll"}});

    EXPECT_EQ(MONITOR_NOT_REMOVED, RemovePortMonitor(&context, list));

    EXPECT_EQ(3, calls.deleteAttempts);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_TRUE(LinesInOrder(
        Log(context), {L"SetPrinter(Office) - ok", L">Restart Spooler",
                       L"Error(12): Can`t remove the port monitor 'Zentavo:' - (Access denied.)",
                       L"SetPrinter(Office) - ok", L"SetPrinter(Lpt) - ok"}));
    EXPECT_EQ(L"file:,Zentavo:", spooler.find(L"Office")->spec.port);
    EXPECT_EQ(L"LPT1:,Zentavo:", spooler.find(L"Lpt")->spec.port);
    EXPECT_STREQ(L"file:,Zentavo:", PrinterAt(context.printers, 0)->pPortName);
    EXPECT_EQ(nullptr, context.detachedPrinters);
    EXPECT_TRUE(calls.deletedFiles.empty());
    EXPECT_EQ(0, context.logDepth);
    ReleaseSpoolerList(&list);
}

BOOL WINAPI RefusingSetPrinterW(HANDLE, DWORD, LPBYTE, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(ParkedPrinters, APortThatCannotBeSetIsOnlyLoggedAndTheOthersAreStillParked)
{
    FakePrinters spooler(PrintersOnThePort());
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&FakeDeleteFileW);
    calls.deleteSucceedsAt = 2;
    MonitorList list = MakeMonitorList({{L"Zentavo:", L"tvlmon64.dll"}});
    {
        ImportHook refuse("winspool.drv", "SetPrinterW", (const void *)&RefusingSetPrinterW);
        RemovePortMonitor(&context, list);
    }
    EXPECT_TRUE(
        LinesInOrder(Log(context), {L"Can't delete monitor from the first try",
                                    L"SetPrinter(Office) - failed", L"SetPrinter(Lpt) - failed",
                                    L"SetPrinter(Zentavo) - failed", L"Monitor was removed :)"}));
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, spooler.openHandles);
    ASSERT_NE(nullptr, context.detachedPrinters);
    EXPECT_STREQ(L"Office", context.detachedPrinters[0]->pPrinterName);
    EXPECT_STREQ(L"Lpt", context.detachedPrinters[1]->pPrinterName);
    EXPECT_EQ(0, context.logDepth);
    ReleaseSpoolerList(&list);
}

TEST_F(ParkedPrinters, StayParkedWhenRegistrationFailsFiveTimes)
{
    FakePrinters spooler(PrintersOnThePort());
    ImportHook deleteMonitor("winspool.drv", "DeleteMonitorW", (const void *)&FakeDeleteMonitorW);
    ImportHook addMonitor("winspool.drv", "AddMonitorW", (const void *)&FakeAddMonitorW);
    ImportHook deleteFile("kernel32.dll", "DeleteFileW", (const void *)&FakeDeleteFileW);
    calls.deleteSucceedsAt = 2;
    calls.addSucceedsAt = 0;
    MonitorList list = MakeMonitorList({{L"Zentavo:", L"tvlmon64.dll"}});
    RemovePortMonitor(&context, list);
    ASSERT_NE(nullptr, context.detachedPrinters);
    size_t setsAfterParking = spooler.sets.size();
    size_t sleepsAfterParking = clock.sleeps().size();
    context.copyMonitor = 0;
    FreeString(&context.logText);

    EXPECT_FALSE(InstallPortMonitor(&context));

    EXPECT_EQ(5, calls.addAttempts);
    EXPECT_EQ(5u,
              CountLines(Log(context), L"AddMonitor - failed. Trying to wait and install again"));
    EXPECT_EQ(
        std::vector<DWORD>(4, 50),
        std::vector<DWORD>(clock.sleeps().begin() + sleepsAfterParking, clock.sleeps().end()));
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Error(11): Can`t install a local port "
                                            L"monitor'Zentavo:' - (Access denied.)"}));
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(setsAfterParking, spooler.sets.size());
    EXPECT_EQ(L"file:,file:", spooler.find(L"Office")->spec.port);
    EXPECT_EQ(0, context.logDepth);
    ReleaseSpoolerList(&list);
}

TEST_F(PortMonitor, FailedCopyIsRetriedOnceWithTheSpoolerStopped)
{
    ScratchDir components({}); // no monitor DLL beside the tool
    Assign(&context.moduleDir, components.path().c_str());
    ImportHook addMonitor("winspool.drv", "AddMonitorW", (const void *)&FakeAddMonitorW);

    EXPECT_TRUE(InstallPortMonitor(&context));

    EXPECT_TRUE(
        LinesInOrder(Log(context), {L">AddMonitor", L"Copy monitor file", L">Restart Spooler",
                                    L"Error(10): Cant't open source file: tvlmon64.dll - (File not "
                                    L"found.)",
                                    L"AddMonitor - OK :)"}));
    EXPECT_EQ(1u, CountLines(Log(context), L"Copy monitor file"));
    EXPECT_EQ(1, context.errorCount); // the silent first copy reports nothing
    EXPECT_EQ(1, calls.addAttempts);
    EXPECT_EQ(0, context.logDepth);
}

} // namespace
