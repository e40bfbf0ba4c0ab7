// The printer driver's install and removal: the files it takes, the retries, files still held.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "printing/printer_driver.h"
#include "printing/printer_driver_internal.h"
#include "printing_test_support.h"
#include "services/file_copy.h"
#include "setup_context.h"
#include "test_paths.h"
#include "virtual_clock.h"

namespace {

// A DriverList of `level` whose records of type T carry the given names.
template <typename T>
DriverList MakeDriverList(DWORD level, const std::vector<const WCHAR *> &names)
{
    DriverList list = {};
    list.buffer = static_cast<BYTE *>(GlobalAlloc(GPTR, names.size() * sizeof(T) + 1));
    list.level = level;
    list.count = (DWORD)names.size();
    for (size_t i = 0; i < names.size(); i++)
        reinterpret_cast<T *>(list.buffer)[i].pName = const_cast<LPWSTR>(names[i]);
    return list;
}

TEST(FindPrinterDriver, FindsTheExactNameAtEveryLevel)
{
    std::vector<const WCHAR *> names = {L"Generic", NULL, L"Zentavo Printer", L"Zentavo printer2",
                                        L"Zentavo printer"};
    DriverList lists[] = {
        MakeDriverList<DRIVER_INFO_1W>(1, names), MakeDriverList<DRIVER_INFO_2W>(2, names),
        MakeDriverList<DRIVER_INFO_3W>(3, names), MakeDriverList<DRIVER_INFO_4W>(4, names),
        MakeDriverList<DRIVER_INFO_5W>(5, names), MakeDriverList<DRIVER_INFO_6W>(6, names),
    };
    for (DriverList &list : lists) {
        EXPECT_EQ(4, FindPrinterDriver(list)) << "level " << list.level;
        list.count = 4;
        EXPECT_EQ(-1, FindPrinterDriver(list)) << "level " << list.level;
        ReleaseSpoolerList(&list);
    }
    DriverList seven = MakeDriverList<DRIVER_INFO_6W>(7, names);
    EXPECT_EQ(-1, FindPrinterDriver(seven));
    ReleaseSpoolerList(&seven);
    DriverList empty = {};
    EXPECT_EQ(-1, FindPrinterDriver(empty));
}

struct DriverCalls {
    int adds = 0;
    DWORD addError = 0; // 0: the driver is taken
    std::wstring helpFile;
    std::vector<DWORD> deleteFlags;
    std::vector<DWORD> deleteErrors; // one per call; 0 succeeds; past the end: success
    static DriverCalls *current;
};
DriverCalls *DriverCalls::current;

BOOL WINAPI FakeAddPrinterDriverExW(LPWSTR, DWORD, LPBYTE info, DWORD)
{
    DriverCalls::current->adds++;
    DriverCalls::current->helpFile = reinterpret_cast<DRIVER_INFO_6W *>(info)->pHelpFile;
    SetLastError(DriverCalls::current->addError);
    return DriverCalls::current->addError == 0;
}

BOOL WINAPI FakeDeletePrinterDriverExW(LPWSTR, LPWSTR environment, LPWSTR name, DWORD flags,
                                       DWORD version)
{
    DriverCalls *calls = DriverCalls::current;
    EXPECT_STREQ(L"Windows x64", environment);
    EXPECT_STREQ(L"Zentavo printer", name);
    EXPECT_EQ(0u, version);
    size_t n = calls->deleteFlags.size();
    calls->deleteFlags.push_back(flags);
    DWORD error = n < calls->deleteErrors.size() ? calls->deleteErrors[n] : 0;
    SetLastError(error);
    return error == 0;
}

class PrinterDriver : public ::testing::Test {
protected:
    SetupContext context = {};
    DriverCalls calls;
    VirtualClock clock;
    std::wstring driverDir;
    void SetUp() override
    {
        // Before the context: its check of the real spooler polls on the clock as well.
        LetTheSpoolerMove(clock);
        MakeContext(&context);
        driverDir = StringText(context.driverDir);
        DriverCalls::current = &calls;
    }
    void TearDown() override
    {
        for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"})
            DeleteFileW((driverDir + name).c_str());
        FreeSetupContext(&context);
    }
    bool Remove()
    {
        DriverList list = MakeDriverList<DRIVER_INFO_6W>(6, {L"Generic", L"Zentavo printer"});
        bool removed = RemovePrinterDriver(&context, list);
        ReleaseSpoolerList(&list);
        return removed;
    }
};

TEST_F(PrinterDriver, MissingConfigurationDllAddsNothing)
{
    ScratchDir components({L"tvldrv64.dll", L"tvlhelp.chm"});
    Assign(&context.moduleDir, components.path().c_str());
    ImportHook add("winspool.drv", "AddPrinterDriverExW", (const void *)&FakeAddPrinterDriverExW);
    EXPECT_FALSE(InstallPrinterDriver(&context));
    EXPECT_EQ(0, calls.adds);
    EXPECT_EQ(1, context.errorCount); // the copy's own report, no error 13
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Error(10): Cant't open source file: tvlui64.dll - "
                                            L"(File not found.)"}));
    EXPECT_EQ(std::wstring::npos, Log(context).find(L"Error(13)"));
    // The staged driver DLL stays behind for the later retries.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((driverDir + L"tvldrv64.dll").c_str()));
    EXPECT_EQ(0, context.logDepth);
}

TEST_F(PrinterDriver, MissingHelpFileAddsTheDriverWithoutIt)
{
    ScratchDir components({L"tvldrv64.dll", L"tvlui64.dll"});
    Assign(&context.moduleDir, components.path().c_str());
    ImportHook add("winspool.drv", "AddPrinterDriverExW", (const void *)&FakeAddPrinterDriverExW);
    EXPECT_TRUE(InstallPrinterDriver(&context));
    EXPECT_EQ(1, calls.adds);
    EXPECT_EQ(L"", calls.helpFile);
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Error(10): Cant't open source file: tvlhelp.chm - "
                                            L"(File not found.)",
                                            L"OK :)"}));
    EXPECT_EQ(1, context.errorCount);
    for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll"})
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((driverDir + name).c_str()));
    EXPECT_EQ(nullptr, context.pendingDeletes); // an empty help path is never listed
}

TEST_F(PrinterDriver, ARefusedDriverIsError13AndItsStagedCopiesAreDeletedAllTheSame)
{
    ScratchDir components({L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"});
    Assign(&context.moduleDir, components.path().c_str());
    ImportHook add("winspool.drv", "AddPrinterDriverExW", (const void *)&FakeAddPrinterDriverExW);
    calls.addError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(InstallPrinterDriver(&context));
    EXPECT_EQ(1, calls.adds);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_TRUE(LinesInOrder(Log(context), {L"Error(13): Can`t install a printer driver 'Zentavo "
                                            L"printer' - (Access denied.)"}));
    for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"})
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((driverDir + name).c_str())) << name;
    EXPECT_EQ(nullptr, context.pendingDeletes);
    EXPECT_EQ(0, context.logDepth);
}

TEST_F(PrinterDriver, RemovalRetriesOnceAfterASpoolerRestart)
{
    ImportHook del("winspool.drv", "DeletePrinterDriverExW",
                   (const void *)&FakeDeletePrinterDriverExW);
    calls.deleteErrors = {ERROR_PRINTER_DRIVER_IN_USE};
    EXPECT_TRUE(Remove());
    EXPECT_EQ((std::vector<DWORD>{DPD_DELETE_ALL_FILES, DPD_DELETE_ALL_FILES}), calls.deleteFlags);
    EXPECT_TRUE(LinesInOrder(
        Log(context),
        {L"------------ 2 existing drivers-----------", L"1. Generic", L"2. Zentavo printer",
         L"-------------------------------------------", L"Driver is found. Index=2",
         L"Can't delete driver. Trying to restart spooler", L">Restart Spooler", L"OK :)"}));
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
}

TEST_F(PrinterDriver, OtherFailuresKeepTheirReportAfterTheRestart)
{
    ImportHook del("winspool.drv", "DeletePrinterDriverExW",
                   (const void *)&FakeDeletePrinterDriverExW);
    calls.deleteErrors = {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED};
    EXPECT_FALSE(Remove());
    // No flagless attempt: only a refusal of the flags takes the compatibility path.
    EXPECT_EQ((std::vector<DWORD>{DPD_DELETE_ALL_FILES, DPD_DELETE_ALL_FILES}), calls.deleteFlags);
    EXPECT_TRUE(LinesInOrder(Log(context), {L">Restart Spooler",
                                            L"Error(14): Can`t remove the printer-driver 'Zentavo "
                                            L"printer' - (Access denied.)"}));
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
}

TEST_F(PrinterDriver, RefusedFlagsFallBackToAPlainDeletionAndTheDriversOwnFiles)
{
    ImportHook del("winspool.drv", "DeletePrinterDriverExW",
                   (const void *)&FakeDeletePrinterDriverExW);
    // The flagless deletion fails too: the restart and the second round follow, then error 14.
    calls.deleteErrors = {ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER,
                          ERROR_ACCESS_DENIED};
    EXPECT_FALSE(Remove());
    EXPECT_EQ((std::vector<DWORD>{DPD_DELETE_ALL_FILES, 0, DPD_DELETE_ALL_FILES, 0}),
              calls.deleteFlags);
    EXPECT_EQ(2u, CountLines(Log(context), L"The spooler does not take the delete flags, deleting "
                                           L"the driver without them"));
    EXPECT_TRUE(LinesInOrder(Log(context), {L">Restart Spooler", L"Error(14): Can`t remove the "
                                                                 L"printer-driver 'Zentavo "
                                                                 L"printer' - (Access denied.)"}));
    EXPECT_EQ(1, context.errorCount);
}

// A driver file the spooler still holds is listed; a missing one is not.
TEST_F(PrinterDriver, HeldDriverFilesAreListedForLater)
{
    std::wstring versionDir = driverDir + L"3\\";
    CreateDirectoryW(versionDir.c_str(), NULL);
    std::wstring held = versionDir + L"tvlui64.dll";
    HANDLE file =
        CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ImportHook del("winspool.drv", "DeletePrinterDriverExW",
                   (const void *)&FakeDeletePrinterDriverExW);
    calls.deleteErrors = {ERROR_INVALID_PARAMETER, 0};
    Remove();
    CloseHandle(file);
    EXPECT_EQ(0, context.errorCount);
    ASSERT_NE(nullptr, context.pendingDeletes);
    EXPECT_EQ(held, context.pendingDeletes->path);
    EXPECT_EQ(nullptr, context.pendingDeletes->next);
    DeleteFileW(held.c_str());

    // Without the driver directory the paths would be "3\<name>" in the current folder: such a
    // file is neither deleted nor listed.
    file = CreateFileW(held.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    FreePendingDeleteList(context.pendingDeletes);
    context.pendingDeletes = NULL;
    FreeString(&context.driverDir);
    WCHAR current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(driverDir.c_str());
    calls.deleteFlags.clear();
    calls.deleteErrors = {ERROR_INVALID_PARAMETER, 0};
    Remove();
    SetCurrentDirectoryW(current);
    EXPECT_EQ((std::vector<DWORD>{DPD_DELETE_ALL_FILES, 0}), calls.deleteFlags);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(held.c_str()));
    EXPECT_EQ(nullptr, context.pendingDeletes);
    RemoveFolder(versionDir, {L"tvlui64.dll"});
}

} // namespace
