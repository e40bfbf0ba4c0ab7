#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../services/service_test_support.h"
#include "flows/probes.h"
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
    return Real<decltype(ControlService)>("advapi32.dll", "ControlService")(service, control,
                                                                            status);
}

// Product-named files in a scratch folder, scheduled in the test prefix's real value.
class PendingProductFiles : public ::testing::Test {
protected:
    SavedPendingRenames saved;
    std::wstring dir;
    HANDLE held = INVALID_HANDLE_VALUE;
    ImportHook stops{"advapi32.dll", "ControlService",
                     reinterpret_cast<const void *>(&CountingControlService)};
    void SetUp() override
    {
        spoolerStops = 0;
        // A fresh wineserver starts with the spooler stopped; the probes leave it running.
        ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
        dir = BuildDir() + L"probe-scratch\\";
        CreateDirectoryW(dir.c_str(), NULL);
    }
    void TearDown() override
    {
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        for (const WCHAR *name : {L"TVLUI64.DLL", L"tvldrv64.dll", L"tvlmon64.dll", L"other.dll"})
            DeleteFileW((dir + name).c_str());
        RemoveDirectoryW(dir.c_str());
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

} // namespace
