// Copying the product's files: whole copies, locked or slow targets, safe paths, later deletions.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "service_test_support.h"
#include "setup_context.h"
#include "setup_log.h"
#include "services/file_copy.h"
#include "services/file_copy_internal.h"
#include "test_paths.h"
#include "virtual_clock.h"

namespace {

std::wstring Log(const SetupContext &context)
{
    return StringText(context.logText);
}

std::string Pattern(size_t size)
{
    std::string data(size, 0);
    for (size_t i = 0; i < size; i++)
        data[i] = (char)(i * 7 + i / 251);
    return data;
}

bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A source folder standing in for the tool's directory and a destination folder, both removed
// with their files afterwards.
class FileCopy : public ::testing::Test {
protected:
    SetupContext context = {};
    std::wstring sourceDir, destDir;

    void SetUp() override
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring base = std::wstring(temp) + L"file_copy_test_" +
                            std::to_wstring(GetCurrentProcessId()) + L"\\";
        sourceDir = base + L"src\\";
        destDir = base + L"dst";
        CreateDirectoryW(base.c_str(), NULL);
        CreateDirectoryW(sourceDir.c_str(), NULL);
        CreateDirectoryW(destDir.c_str(), NULL);
        Assign(&context.moduleDir, sourceDir.c_str());
    }
    void TearDown() override
    {
        RemoveFolder(sourceDir);
        RemoveFolder(destDir);
        std::wstring base = sourceDir.substr(0, sourceDir.size() - 4);
        EXPECT_TRUE(RemoveDirectoryW(base.c_str())) << "a test left files behind";
        FreePendingDeleteList(context.pendingDeletes);
        FreeString(&context.logText);
        FreeString(&context.moduleDir);
    }
    // A source `name` and an older destination of that name that is held open without sharing.
    HANDLE LockedTarget(const std::wstring &name, std::wstring *target)
    {
        *target = destDir + L"\\" + name;
        ::testing::AssertionResult written = WriteWholeFile(sourceDir + name, "new contents");
        if (written)
            written = WriteWholeFile(*target, "old");
        EXPECT_TRUE(written);
        if (!written)
            return INVALID_HANDLE_VALUE; // which the caller's check of the handle stops at
        return CreateFileW(target->c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    }
};

int writes;
BOOL WINAPI CountingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped)
{
    writes++;
    return SYSTEM_FUNCTION("kernel32.dll", WriteFile)(file, data, size, written, overlapped);
}

TEST_F(FileCopy, CopiesEveryLengthWhole)
{
    const struct {
        size_t size;
        int writes;
    } cases[] = {{0, 0},
                 {1, 1},
                 {8191, 1},
                 {8192, 1},
                 {8193, 2},
                 {3 * 8192 + 5, 4},
                 // Over the longer copy just made: nothing of it may remain.
                 {8193, 2},
                 {0, 0}};
    for (const auto &c : cases) {
        std::string data = Pattern(c.size);
        ASSERT_TRUE(WriteWholeFile(sourceDir + L"tvlmon64.dll", data));
        FreeString(&context.logText);
        writes = 0;
        bool result;
        {
            ImportHook hook("kernel32.dll", "WriteFile",
                            reinterpret_cast<const void *>(&CountingWriteFile));
            result = CopyProductFile(&context, destDir.c_str(), L"tvlmon64.dll", NULL, true);
        }
        EXPECT_TRUE(result) << c.size;
        EXPECT_EQ(c.writes, writes) << c.size;
        EXPECT_TRUE(data == ReadWholeFile(destDir + L"\\tvlmon64.dll")) << c.size;
        EXPECT_EQ(L">CopyFile tvlmon64.dll to " + destDir + L" [1])\r\n  Copy Succeeded :)\r\n",
                  Log(context));
        EXPECT_EQ(0, context.logDepth);
        EXPECT_EQ(0, context.errorCount);
    }
}

TEST_F(FileCopy, DestinationPathGetsOneBackslashAndIsFilledEvenWhenTheSourceIsMissing)
{
    WCHAR out[SETUP_PATH_BUFFER];
    ASSERT_TRUE(WriteWholeFile(sourceDir + L"a.dll", "x"));
    EXPECT_TRUE(CopyProductFile(&context, destDir.c_str(), L"a.dll", out, false));
    EXPECT_EQ(destDir + L"\\a.dll", out);
    EXPECT_TRUE(CopyProductFile(&context, (destDir + L"\\").c_str(), L"a.dll", out, false));
    EXPECT_EQ(destDir + L"\\a.dll", out);

    FreeString(&context.logText);
    out[0] = 0;
    EXPECT_FALSE(CopyProductFile(&context, destDir.c_str(), L"missing.dll", out, false));
    EXPECT_EQ(destDir + L"\\missing.dll", out);
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(L">CopyFile missing.dll to " + destDir + L" [0])\r\n  Copy Failed :(\r\n",
              Log(context));

    FreeString(&context.logText);
    EXPECT_FALSE(CopyProductFile(&context, destDir.c_str(), L"missing.dll", out, true));
    EXPECT_EQ(1, context.errorCount);
    EXPECT_NE(std::wstring::npos,
              Log(context).find(L"  Error(10): Cant't open source file: missing.dll - ("));
    EXPECT_FALSE(Exists(destDir + L"\\missing.dll"));
}

TEST_F(FileCopy, ADestinationPathBeyondThePathBufferIsRefusedNeverCut)
{
    WCHAR out[SETUP_PATH_BUFFER + 8];
    // 263 characters and the terminator fill the buffer exactly: accepted (the source is missing).
    std::wstring dir = L"C:\\" + std::wstring(263 - 3 - 6, L'd');
    wmemset(out, L'#', SETUP_PATH_BUFFER + 8);
    EXPECT_FALSE(CopyProductFile(&context, dir.c_str(), L"x.dll", out, true));
    EXPECT_EQ(dir + L"\\x.dll", out);
    EXPECT_NE(std::wstring::npos, Log(context).find(L"Error(10)"));

    // One more character does not fit: refused as an unopenable destination, nothing written
    // past the buffer, and the buffer holds no cut path.
    FreeString(&context.logText);
    context.errorCount = 0;
    dir += L"d";
    ASSERT_TRUE(WriteWholeFile(sourceDir + L"x.dll", "x"));
    wmemset(out, L'#', SETUP_PATH_BUFFER + 8);
    EXPECT_FALSE(CopyProductFile(&context, dir.c_str(), L"x.dll", out, true));
    EXPECT_EQ(L'\0', out[0]);
    for (DWORD i = SETUP_PATH_BUFFER; i < SETUP_PATH_BUFFER + 8; i++)
        EXPECT_EQ(L'#', out[i]);
    EXPECT_EQ(1, context.errorCount);
    std::wstring log = Log(context);
    EXPECT_NE(std::wstring::npos, log.find(L"Error(9): Cant't open destination file: " + dir));
    EXPECT_NE(std::wstring::npos, log.find(L"Copy Failed :("));
}

TEST_F(FileCopy, ALockedDestinationIsRetried100TimesAndWrittenOnceReleased)
{
    std::wstring target;
    HANDLE lock = LockedTarget(L"locked.dll", &target);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    {
        VirtualClock clock;
        EXPECT_FALSE(CopyProductFile(&context, destDir.c_str(), L"locked.dll", NULL, true));
        EXPECT_EQ(std::vector<DWORD>(100, 50), clock.sleeps());
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &attributes);
    EXPECT_EQ(3u, attributes.nFileSizeLow); // still "old": not truncated
    EXPECT_EQ(1, context.errorCount);
    std::wstring log = Log(context);
    EXPECT_NE(std::wstring::npos,
              log.find(L"  Error(9): Cant't open destination file: " + target + L" - ("));
    EXPECT_EQ(std::wstring::npos, log.find(L"CreateFile - timeout"));
    EXPECT_NE(std::wstring::npos, log.find(L"  Copy Failed :(\r\n"));

    // With reports off the same failure is only the caller's to handle.
    {
        VirtualClock clock;
        EXPECT_FALSE(CopyProductFile(&context, destDir.c_str(), L"locked.dll", NULL, false));
    }
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(log + L">CopyFile locked.dll to " + destDir + L" [0])\r\n  Copy Failed :(\r\n",
              Log(context));

    // Let go after the third wait: the fourth attempt opens it.
    VirtualClock clock;
    clock.onSleep = [&](DWORD) {
        if (clock.sleeps().size() == 3)
            CloseHandle(lock);
    };
    EXPECT_TRUE(CopyProductFile(&context, destDir.c_str(), L"locked.dll", NULL, true));
    EXPECT_EQ(3u, clock.sleeps().size());
    EXPECT_EQ("new contents", ReadWholeFile(target));
}

TEST_F(FileCopy, SlowOpensGiveUpWithinTenSecondsEvenAcrossTheTickWrap)
{
    std::wstring target;
    HANDLE lock = LockedTarget(L"slow.dll", &target);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    for (DWORD start : {1000u, 0xFFFFF000u}) {
        FreeString(&context.logText);
        VirtualClock clock;
        clock.setNow(start);
        clock.onSleep = [&](DWORD) { clock.advance(150); }; // each failing open takes 150 ms
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileWithRetry(&context, target.c_str()));
        // Attempt k fails 200 (k - 1) ms after the start: the 52nd is the first beyond 10 s.
        EXPECT_EQ(51u, clock.sleeps().size()) << start;
        EXPECT_LE(clock.now() - start, 10000u + 200u) << start;
        EXPECT_EQ(L"CreateFile - timeout\r\n", Log(context)) << start;
    }
    CloseHandle(lock);
}

// Fails the read after the first block, as a failing disk or network share would.
int readCalls;
BOOL WINAPI SecondReadFails(HANDLE file, LPVOID data, DWORD size, LPDWORD read,
                            LPOVERLAPPED overlapped)
{
    if (++readCalls == 2) {
        *read = 0;
        SetLastError(ERROR_CRC);
        return FALSE;
    }
    return SYSTEM_FUNCTION("kernel32.dll", ReadFile)(file, data, size, read, overlapped);
}

// A disk that fills up: the second block is written only in part, and the call says nothing
// about it (the last error still holds what the CREATE_ALWAYS open left).
int writeCalls;
BOOL WINAPI SecondWriteFallsShort(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                  LPOVERLAPPED overlapped)
{
    auto real = SYSTEM_FUNCTION("kernel32.dll", WriteFile);
    if (++writeCalls == 2) {
        BOOL ok = real(file, data, size / 2, written, overlapped);
        SetLastError(ERROR_ALREADY_EXISTS);
        return ok;
    }
    return real(file, data, size, written, overlapped);
}

TEST_F(FileCopy, AFailedReadOrShortWriteIsError8AndLeavesNoPartialFile)
{
    std::wstring target = destDir + L"\\tvldrv64.dll";
    ASSERT_TRUE(WriteWholeFile(sourceDir + L"tvldrv64.dll", Pattern(3 * 8192)));
    struct {
        const char *function;
        const void *fake;
        int *calls;
    } faults[] = {
        {"ReadFile", reinterpret_cast<const void *>(&SecondReadFails), &readCalls},
        {"WriteFile", reinterpret_cast<const void *>(&SecondWriteFallsShort), &writeCalls}};
    for (const auto &fault : faults) {
        FreeString(&context.logText);
        context.errorCount = 0;
        *fault.calls = 0;
        bool result;
        {
            ImportHook hook("kernel32.dll", fault.function, fault.fake);
            // Reported whatever the flag says: the spooler would load a cut DLL.
            result = CopyProductFile(&context, destDir.c_str(), L"tvldrv64.dll", NULL, false);
        }
        EXPECT_FALSE(result) << fault.function;
        EXPECT_FALSE(Exists(target)) << fault.function;
        EXPECT_EQ(1, context.errorCount) << fault.function;
        std::wstring log = Log(context);
        EXPECT_NE(std::wstring::npos, log.find(L"  Error(8): CopyFile(..," + target + L") - ("))
            << fault.function;
        EXPECT_NE(std::wstring::npos, log.find(L"  Copy Failed :(\r\n")) << fault.function;
        EXPECT_EQ(std::wstring::npos, log.find(L"Succeeded")) << fault.function;
    }
    // The short write is reported as a write fault, not with a stale reason.
    WCHAR *writeFault = SystemMessageText(ERROR_WRITE_FAULT);
    ASSERT_NE(nullptr, writeFault);
    EXPECT_NE(std::wstring::npos, Log(context).find(std::wstring(L" - (") + writeFault + L")"));
    LocalFree(writeFault);
}

TEST_F(FileCopy, NothingIsTakenFromOrWrittenIntoTheCurrentFolder)
{
    // Without the tool's folder a file of the component's name in the current folder must not
    // be copied into place; without the destination's directory nothing may be written there.
    ASSERT_TRUE(WriteWholeFile(sourceDir + L"tvlmon64.dll", "planted"));
    const struct {
        bool toolsFolder;
        std::wstring destination, current, report;
    } cases[] = {
        {false, destDir, sourceDir, L"Error(10): Cant't open source file: tvlmon64.dll - ("},
        {true, L"", destDir + L"\\", L"Error(9): Cant't open destination file: tvlmon64.dll - ("},
    };
    WCHAR current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    for (const auto &c : cases) {
        FreeString(&context.logText);
        if (c.toolsFolder)
            Assign(&context.moduleDir, sourceDir.c_str());
        else
            FreeString(&context.moduleDir);
        SetCurrentDirectoryW(c.current.c_str());
        bool result = CopyProductFile(&context, c.destination.c_str(), L"tvlmon64.dll", NULL, true);
        SetCurrentDirectoryW(current);
        EXPECT_FALSE(result);
        EXPECT_FALSE(Exists(destDir + L"\\tvlmon64.dll"));
        EXPECT_NE(std::wstring::npos, Log(context).find(c.report));
    }
    EXPECT_EQ(2, context.errorCount);
}

std::vector<std::wstring> Paths(const PendingDelete *node)
{
    std::vector<std::wstring> paths;
    for (; node; node = node->next)
        paths.push_back(node->path);
    return paths;
}

TEST(PendingDeletes, MostRecentFirstEachExactPathOnce)
{
    PendingDelete *head = NULL;
    GlobalHeapCount count;
    EXPECT_TRUE(AddPendingDelete(&head, L"C:\\a.dll"));
    EXPECT_TRUE(AddPendingDelete(&head, L"C:\\b.dll"));
    EXPECT_TRUE(AddPendingDelete(&head, L"C:\\a.dll")); // listed already
    EXPECT_TRUE(AddPendingDelete(&head, L"C:\\A.dll")); // another letter case is another entry
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\A.dll", L"C:\\b.dll", L"C:\\a.dll"}), Paths(head));
    FreePendingDeleteList(head);
    EXPECT_EQ(6, count.allocs);
    EXPECT_EQ(count.allocs, count.frees);

    EXPECT_EQ(nullptr, DuplicateWideString(NULL));
    EXPECT_EQ(nullptr, DuplicateWideString(L""));
}

TEST(PendingDeletes, AnEntryThatCannotBeAllocatedIsNotAddedAndNothingLeaks)
{
    for (int failAt = 1; failAt <= 2; failAt++) {
        PendingDelete *head = NULL;
        GlobalHeapCount count(failAt);
        EXPECT_FALSE(AddPendingDelete(&head, L"C:\\a.dll")) << failAt;
        EXPECT_EQ(nullptr, head) << failAt;
        EXPECT_EQ(1, count.refused);
        EXPECT_EQ(count.allocs, count.frees) << failAt;
    }
}

TEST_F(FileCopy, RetryDropsDeletedAndVanishedFilesAndKeepsTheRestInOrder)
{
    std::wstring deletable = sourceDir + L"deletable.dll";
    std::wstring held = sourceDir + L"held.dll";
    std::wstring gone = sourceDir + L"gone.dll";
    std::wstring noFolder = sourceDir + L"no-such-folder\\x.dll";
    ASSERT_TRUE(WriteWholeFile(deletable, "x"));
    ASSERT_TRUE(WriteWholeFile(held, "x"));
    HANDLE lock =
        CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    for (const std::wstring *path : {&noFolder, &deletable, &held, &gone})
        AddPendingDelete(&context.pendingDeletes, path->c_str());
    {
        GlobalHeapCount count;
        EXPECT_FALSE(RetryPendingDeletes(&context)); // two stay listed
        EXPECT_EQ(0, count.allocs);
        EXPECT_EQ(4, count.frees); // the two dropped nodes and their paths
    }
    CloseHandle(lock);
    EXPECT_FALSE(Exists(deletable));
    // A missing folder is kept: only a missing file counts as deleted. Wine, like Windows, refuses
    // to delete a file open without delete sharing.
    EXPECT_EQ((std::vector<std::wstring>{held, noFolder}), Paths(context.pendingDeletes));
    EXPECT_EQ(L"DeleteFile-try\r\n", Log(context));
    EXPECT_EQ(0, context.errorCount);

    EXPECT_FALSE(RetryPendingDeletes(&context));
    EXPECT_EQ((std::vector<std::wstring>{noFolder}), Paths(context.pendingDeletes));

    // Once its folder exists the file is plainly gone, and the list is empty.
    std::wstring folder = sourceDir + L"no-such-folder";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    EXPECT_TRUE(RetryPendingDeletes(&context));
    EXPECT_EQ(nullptr, context.pendingDeletes);
    RemoveDirectoryW(folder.c_str());
}

int moves;
BOOL WINAPI SecondMoveRefused(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (++moves == 2) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return SYSTEM_FUNCTION("kernel32.dll", MoveFileExW)(from, to, flags);
}

TEST_F(FileCopy, SchedulingHandsEveryEntryToTheRebootAndEmptiesTheList)
{
    SavedPendingRenames saved;
    EXPECT_EQ(0u, ScheduleDeletesAtReboot(&context));
    EXPECT_EQ(nullptr, context.pendingDeletes);

    std::wstring held = sourceDir + L"held.dll";
    std::wstring noFolder = sourceDir + L"no-such-folder\\x.dll";
    ASSERT_TRUE(WriteWholeFile(held, "x"));
    AddPendingDelete(&context.pendingDeletes, held.c_str());
    AddPendingDelete(&context.pendingDeletes, noFolder.c_str());
    {
        GlobalHeapCount count;
        // Wine accepts a missing file as well.
        EXPECT_EQ(2u, ScheduleDeletesAtReboot(&context));
        EXPECT_EQ(4, count.frees);
    }
    EXPECT_EQ(nullptr, context.pendingDeletes);
    std::wstring value = saved.Current();
    EXPECT_NE(std::wstring::npos, value.find(L"\\??\\" + held + std::wstring(2, L'\0')));
    EXPECT_NE(std::wstring::npos, value.find(L"\\??\\" + noFolder + std::wstring(2, L'\0')));
    EXPECT_TRUE(Exists(held)); // only at the next boot
    EXPECT_EQ(L"", Log(context));

    // A refused entry is dropped uncounted.
    AddPendingDelete(&context.pendingDeletes, held.c_str());
    AddPendingDelete(&context.pendingDeletes, noFolder.c_str());
    moves = 0;
    ImportHook hook("kernel32.dll", "MoveFileExW",
                    reinterpret_cast<const void *>(&SecondMoveRefused));
    EXPECT_EQ(1u, ScheduleDeletesAtReboot(&context));
    EXPECT_EQ(2, moves);
    EXPECT_EQ(nullptr, context.pendingDeletes);
}

} // namespace
