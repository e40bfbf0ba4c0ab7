// The status probes: product files left pending for the boot, and the product printer and default.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../printing/printing_test_support.h"
#include "../services/service_test_support.h"
#include "flows/probes.h"
#include "services/spooler_queries.h"
#include "test_paths.h"

namespace {

std::wstring MultiString(const std::vector<std::wstring> &strings)
{
    std::wstring value;
    for (const std::wstring &s : strings)
        value += s + L'\0';
    return value + L'\0';
}

int spoolerStops;
BOOL WINAPI CountingControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    if (control == SERVICE_CONTROL_STOP)
        spoolerStops++;
    return SYSTEM_FUNCTION("advapi32.dll", ControlService)(service, control, status);
}

// Product-named files in a scratch folder, scheduled in the test prefix's real value.
class PendingProductFiles : public ::testing::Test {
protected:
    SavedPendingRenames saved;
    std::wstring dir;
    HANDLE held = INVALID_HANDLE_VALUE;
    ImportHook stops{"advapi32.dll", "ControlService",
                     reinterpret_cast<const void *>(&CountingControlService)};
    // Made once the scratch folder is known: finding the build folder asks for the real path.
    std::unique_ptr<ImportHook> toolPath;
    void SetUp() override
    {
        spoolerStops = 0;
        // A fresh wineserver starts with the spooler stopped; the probes leave it running.
        ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
        dir = BuildDir() + L"probe-scratch\\";
        g_scratchToolPath = dir + L"setup.exe";
        toolPath.reset(new ImportHook("kernel32.dll", "GetModuleFileNameW",
                                      reinterpret_cast<const void *>(&ScratchModuleFileNameW)));
        CreateDirectoryW(dir.c_str(), NULL);
    }
    void TearDown() override
    {
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        RemoveFolder(dir, {L"TVLUI64.DLL", L"tvldrv64.dll", L"tvlmon64.dll", L"other.dll"});
        EXPECT_EQ((DWORD)SERVICE_RUNNING, RealSpoolerState());
    }
    std::wstring make(const WCHAR *name, bool hold = false)
    {
        std::wstring path = dir + name;
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, file);
        if (hold)
            held = file; // no delete sharing: DeleteFileW fails while it is open
        else
            CloseHandle(file);
        return path;
    }
    void schedule(const std::vector<std::wstring> &strings)
    {
        std::wstring value = MultiString(strings);
        saved.Set(REG_MULTI_SZ, value.data(), (DWORD)(value.size() * 2));
    }
};

TEST_F(PendingProductFiles, NothingPendingAnswersFalseWithoutTouchingTheSpooler)
{
    saved.Remove();
    EXPECT_FALSE(HasPendingProductFiles());
    schedule({});
    EXPECT_FALSE(HasPendingProductFiles());
    EXPECT_EQ(0, spoolerStops);
}

TEST_F(PendingProductFiles, ADeletionCarriedOutNowIsNotPending)
{
    std::wstring path = make(L"TVLUI64.DLL");
    schedule({L"\\??\\" + path, L""});
    EXPECT_FALSE(HasPendingProductFiles());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    EXPECT_EQ(0, spoolerStops);
}

TEST_F(PendingProductFiles, ALockedProductFileIsPendingAfterTwoRestarts)
{
    std::wstring path = make(L"tvlmon64.dll", true);
    schedule({L"\\??\\" + path, L""});
    EXPECT_TRUE(HasPendingProductFiles());
    EXPECT_EQ(2, spoolerStops);

    // A spooler found stopped holds nothing: asked to stop, it is never started.
    ASSERT_TRUE(DriveRealSpooler(SERVICE_STOPPED));
    spoolerStops = 0;
    EXPECT_TRUE(HasPendingProductFiles());
    EXPECT_EQ(2, spoolerStops);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, RealSpoolerState());
    ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
}

TEST_F(PendingProductFiles, AProductFileToBeReplacedCountsAsWell)
{
    std::wstring path = make(L"tvldrv64.dll");
    schedule({path, L"\\??\\C:\\elsewhere\\tvldrv64.dll"});
    EXPECT_TRUE(HasPendingProductFiles());
    EXPECT_EQ(2, spoolerStops);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str())); // renames stay
}

TEST_F(PendingProductFiles, MissingOrForeignFilesDoNotCount)
{
    std::wstring other = make(L"other.dll", true);
    schedule({L"\\??\\" + dir + L"tvlmon64.dll", L"", L"\\??\\" + other, L""});
    EXPECT_FALSE(HasPendingProductFiles());
    EXPECT_EQ(0, spoolerStops);
}

// The held file is let go when the spooler stops, as when the spooler was what held it.
HANDLE releasedOnStop;
BOOL WINAPI ReleasingControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    if (control == SERVICE_CONTROL_STOP && releasedOnStop != INVALID_HANDLE_VALUE) {
        CloseHandle(releasedOnStop);
        releasedOnStop = INVALID_HANDLE_VALUE;
    }
    return CountingControlService(service, control, status);
}

TEST_F(PendingProductFiles, AFileTheSpoolerHeldIsDeletedAfterOneRestart)
{
    std::wstring path = make(L"tvldrv64.dll", true);
    releasedOnStop = held;
    held = INVALID_HANDLE_VALUE;
    schedule({L"\\??\\" + path, L""});
    {
        ImportHook release("advapi32.dll", "ControlService",
                           reinterpret_cast<const void *>(&ReleasingControlService));
        EXPECT_FALSE(HasPendingProductFiles());
    }
    EXPECT_EQ(1, spoolerStops);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
}

// The spooler as the printer probes see it: FakePrinters opens and reads the printers and answers
// the default-printer calls; the enumeration lists them and every driver file reads as `build`.
PrinterList listedPrinters;
BOOL WINAPI ListedEnumPrintersW(DWORD, LPWSTR, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
                                LPDWORD count)
{
    *needed = (DWORD)(listedPrinters.count * sizeof(PRINTER_INFO_2W));
    *count = listedPrinters.count;
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The records point into the list's own block, which outlives the probe.
    memcpy(buffer, listedPrinters.buffer, *needed);
    return TRUE;
}

BOOL WINAPI DriverOnDisk(HANDLE, LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    static const WCHAR path[] = L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\tvldrv64.dll";
    *needed = (DWORD)(sizeof(DRIVER_INFO_2W) + sizeof(path));
    if (level != 2 || size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(buffer, 0, *needed);
    DRIVER_INFO_2W *info = reinterpret_cast<DRIVER_INFO_2W *>(buffer);
    info->pDriverPath = reinterpret_cast<LPWSTR>(buffer + sizeof(DRIVER_INFO_2W));
    memcpy(info->pDriverPath, path, sizeof(path));
    return TRUE;
}

class PrinterProbes : public ::testing::Test {
protected:
    // A foreign printer, one whose driver name differs only in case, then two product printers.
    std::vector<PrinterSpec> specs = {Spec(L"Office", L"LPT1:", L"Other driver"),
                                      Spec(L"Case", L"Zentavo:", L"Zentavo Printer"),
                                      Spec(L"First", L"Zentavo:", L"Zentavo printer"),
                                      Spec(L"Second", L"Zentavo:", L"Zentavo printer")};
    FakePrinters spooler{specs};
    FakeFileBuild build{2551};
    ImportHook enumPrinters{"winspool.drv", "EnumPrintersW",
                            reinterpret_cast<const void *>(&ListedEnumPrintersW)};
    ImportHook driver{"winspool.drv", "GetPrinterDriverW",
                      reinterpret_cast<const void *>(&DriverOnDisk)};
    void SetUp() override
    {
        listedPrinters = MakePrinterList(specs);
    }
    void TearDown() override
    {
        ReleaseSpoolerList(&listedPrinters);
        EXPECT_EQ(0, spooler.openHandles);
    }
};

TEST_F(PrinterProbes, TheFirstProductPrinterAnswersForTheDriverAndTakesTheDefault)
{
    const struct {
        LONG build;
        bool current;
    } cases[] = {{2450, false}, {2451, true}, {2551, true}, {-1, false}};
    for (const auto &c : cases) {
        build.build = c.build;
        spooler.opened.clear();
        EXPECT_EQ(c.current, IsDriverCurrent()) << "build " << c.build;
        EXPECT_EQ(std::vector<std::wstring>{L"First"}, spooler.opened) << "build " << c.build;
    }

    EXPECT_TRUE(MakeProductPrinterDefault());
    EXPECT_EQ(L"First", spooler.defaultSetTo);
}

TEST_F(PrinterProbes, OnlyADefaultPrinterOfTheExactProductDriverIsOurs)
{
    const struct {
        const WCHAR *defaultPrinter; // null: there is none
        bool foreign;
    } cases[] = {{L"Second", false}, {L"Case", true}, {L"Office", true}, {nullptr, true}};
    for (const auto &c : cases) {
        for (FakePrinters::Printer &p : spooler.printers) {
            p.spec.attributes = PRINTER_ATTRIBUTE_LOCAL;
            if (c.defaultPrinter && p.spec.name == c.defaultPrinter)
                p.spec.attributes |= PRINTER_ATTRIBUTE_DEFAULT;
        }
        EXPECT_EQ(c.foreign, IsDefaultPrinterForeign()) << "case #" << (&c - cases);
    }
}

} // namespace
