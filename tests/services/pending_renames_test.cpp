// The boot's pending renames: the value parsed, product files deleted now, their entries forgotten.
#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>
#include <vector>

#include "import_hook.h"
#include "last_error.h"
#include "service_test_support.h"
#include "services/pending_renames.h"
#include "services/pending_renames_internal.h"
#include "test_paths.h"

namespace {

// A multi-string: each text and its NUL, then the list's final NUL when `terminated`.
std::wstring MultiString(const std::vector<std::wstring> &strings, bool terminated = true)
{
    std::wstring value;
    for (const std::wstring &s : strings)
        value += s + L'\0';
    if (terminated)
        value += L'\0';
    return value;
}

// Bytes placed so that the last one is followed by an inaccessible page: any read past the
// end stops the test with an access violation instead of passing by luck.
class GuardedBlock {
public:
    explicit GuardedBlock(const void *data, size_t bytes)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        size_t span = (bytes + page - 1) / page * page;
        base_ = static_cast<BYTE *>(
            VirtualAlloc(NULL, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + span, page, PAGE_NOACCESS, &old);
        start_ = base_ + span - bytes;
        memcpy(start_, data, bytes);
    }
    ~GuardedBlock()
    {
        VirtualFree(base_, 0, MEM_RELEASE);
    }
    const BYTE *data() const
    {
        return start_;
    }

private:
    BYTE *base_;
    BYTE *start_;
};

PendingRenameTable Parse(const std::wstring &value, DWORD extraBytes = 0, DWORD cutBytes = 0)
{
    std::vector<BYTE> bytes(reinterpret_cast<const BYTE *>(value.data()),
                            reinterpret_cast<const BYTE *>(value.data() + value.size()));
    bytes.resize(bytes.size() + extraBytes, 0x41);
    bytes.resize(bytes.size() - cutBytes);
    GuardedBlock block(bytes.data(), bytes.size());
    return ParsePendingRenameValue(block.data(), (DWORD)bytes.size());
}

std::vector<std::wstring> Paths(const PendingRenameTable &table)
{
    std::vector<std::wstring> paths;
    for (LONG i = 0; i < 2 * table.pairCount; i++)
        paths.push_back(table.paths[i] ? table.paths[i] : L"<none>");
    return paths;
}

std::vector<LONG> Flags(const PendingRenameTable &table)
{
    return std::vector<LONG>(table.exists, table.exists + 2 * table.pairCount);
}

void ExpectEmpty(const PendingRenameTable &table)
{
    EXPECT_EQ(0, table.pairCount);
    EXPECT_EQ(nullptr, table.paths);
    EXPECT_EQ(nullptr, table.exists);
}

// Every folder opened is said to lead to another one, as a link swapped in on the way would.
DWORD WINAPI LinkedFinalPathNameByHandleW(HANDLE, LPWSTR buffer, DWORD chars, DWORD)
{
    static const WCHAR elsewhere[] = L"\\\\?\\C:\\canary";
    if (chars < ARRAYSIZE(elsewhere))
        return ARRAYSIZE(elsewhere);
    wcscpy(buffer, elsewhere);
    return ARRAYSIZE(elsewhere) - 1;
}

// A scratch folder with a file and a subfolder, removed afterwards; the tool runs from it.
class PendingRenames : public ::testing::Test {
protected:
    std::wstring dir, file, subdir;
    ImportHook toolPath{"kernel32.dll", "GetModuleFileNameW",
                        (const void *)&ScratchModuleFileNameW};
    void SetUp() override
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir = std::wstring(temp) + L"pending_renames_" + std::to_wstring(GetCurrentProcessId());
        file = dir + L"\\tvlmon64.dll";
        subdir = dir + L"\\folder";
        g_scratchToolPath = dir + L"\\setup.exe";
        CreateDirectoryW(dir.c_str(), NULL);
        CreateDirectoryW(subdir.c_str(), NULL);
        ASSERT_TRUE(MakeFile(file));
    }
    void TearDown() override
    {
        EXPECT_TRUE(RemoveFolder(dir, {L"tvlmon64.dll", L"tvlui32.dll", L"victim.txt", L"folder"}))
            << "a test left files behind";
    }
    static ::testing::AssertionResult MakeFile(const std::wstring &path)
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return ::testing::AssertionFailure()
                   << "cannot create " << path << ": error " << GetLastError();
        CloseHandle(h);
        return ::testing::AssertionSuccess();
    }
    static bool Exists(const std::wstring &path)
    {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
};

TEST(StripNtPrefix, OnlyTheWholeFourCharacterPrefixIsSkipped)
{
    EXPECT_STREQ(L"C:\\a.dll", StripNtPrefix(L"\\??\\C:\\a.dll"));
    EXPECT_STREQ(L"\\??C:\\a.dll", StripNtPrefix(L"\\??C:\\a.dll"));
    EXPECT_STREQ(L"!\\??\\C:\\a.dll", StripNtPrefix(L"!\\??\\C:\\a.dll"));
    EXPECT_STREQ(L"\\?", StripNtPrefix(L"\\?"));
    EXPECT_STREQ(L"", StripNtPrefix(L"\\??\\"));
    EXPECT_STREQ(L"", StripNtPrefix(L""));
}

TEST_F(PendingRenames, APendingDeletionOfAnExistingFileIsCarriedOutNow)
{
    GlobalHeapCount count;
    // The tool's folder and the companion's, which holds it.
    std::wstring companionFolderFile = dir.substr(0, dir.find_last_of(L'\\')) + L"\\tvlui32.dll";
    ASSERT_TRUE(MakeFile(companionFolderFile));
    PendingRenameTable table =
        Parse(MultiString({L"\\??\\" + file, L"", L"\\??\\" + companionFolderFile, L""}));
    ASSERT_EQ(2, table.pairCount);
    EXPECT_EQ((std::vector<std::wstring>{L"\\??\\" + file, L"<none>",
                                         L"\\??\\" + companionFolderFile, L"<none>"}),
              Paths(table));
    EXPECT_EQ((std::vector<LONG>{1, 0, 1, 0}), Flags(table));
    bool applied = ApplyPendingDeletions(&table);
    bool companionFolderFileLeft = DeleteFileW(companionFolderFile.c_str()) != FALSE;
    EXPECT_TRUE(applied);
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(companionFolderFileLeft);
    EXPECT_EQ((std::vector<LONG>{0, 0, 0, 0}), Flags(table));
    ReleasePendingRenameTable(&table);
    ExpectEmpty(table);
    EXPECT_EQ(count.allocs, count.frees);
}

TEST_F(PendingRenames, RenamesFoldersAndUnprefixedTextsAreTreatedAsWritten)
{
    std::wstring other = dir + L"\\tvlui32.dll"; // the other file set's, still the product's
    ASSERT_TRUE(MakeFile(other));
    PendingRenameTable table = Parse(MultiString({
        L"\\??\\" + file, L"\\??\\" + dir + L"\\renamed.dll", // a rename: never touched
        L"\\??\\" + subdir, L"",                              // a folder: flag 0
        other, L"",                                           // no prefix: its own text
        L"\\??" + file, L"",                                  // a broken prefix: unchanged
        L"!tail",                                             // a third string of a pair
    }));
    ASSERT_EQ(4, table.pairCount);
    EXPECT_EQ((std::vector<LONG>{1, 0, 0, 0, 1, 0, 0, 0}), Flags(table));
    EXPECT_TRUE(ApplyPendingDeletions(&table));
    EXPECT_TRUE(Exists(file));
    EXPECT_TRUE(Exists(subdir));
    EXPECT_FALSE(Exists(other));
    EXPECT_EQ((std::vector<LONG>{1, 0, 0, 0, 0, 0, 0, 0}), Flags(table));
    ReleasePendingRenameTable(&table);
}

// Each form below reaches the product-named file now, but not the same file at the boot, or it
// names another program's file: all are left for the boot.
TEST_F(PendingRenames, OnlyTheProductsOwnFilesByPlainAbsolutePathsAreDeletedNow)
{
    std::wstring victim = dir + L"\\victim.txt";
    ASSERT_TRUE(MakeFile(victim));
    std::wstring foreign = subdir + L"\\tvldrv64.dll"; // a folder the tool places nothing in
    ASSERT_TRUE(MakeFile(foreign));
    std::wstring bare = file.substr(2); // "\\...\\tvlmon64.dll" on the current drive
    WCHAR current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(dir.c_str());
    PendingRenameTable table = Parse(MultiString({
        L"\\??\\" + victim,
        L"", // another program's file
        L"\\\\?\\" + file,
        L"", // no Win32 path
        L"tvlmon64.dll",
        L"", // relative to the current folder
        file.substr(0, 2) + L"tvlmon64.dll",
        L"", // relative to the drive's current folder
        bare,
        L"", // rooted without a drive
        file + L".",
        L"", // Windows drops the trailing dot
        file + L" ",
        L"", // and the trailing space
        subdir + L"\\..\\tvlmon64.dll",
        L"", // ".." is not resolved at the boot
        L"\\??\\" + foreign,
        L"", // product-named, in another folder
        L"\\??\\" + file,
        L"", // the product's own: deleted
    }));
    SetCurrentDirectoryW(current);
    ASSERT_EQ(10, table.pairCount);
    EXPECT_EQ((std::vector<LONG>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}),
              Flags(table));
    SetCurrentDirectoryW(dir.c_str());
    EXPECT_TRUE(ApplyPendingDeletions(&table)); // the others are not the tool's to delete now
    SetCurrentDirectoryW(current);
    EXPECT_TRUE(Exists(victim));
    EXPECT_TRUE(Exists(foreign));
    DeleteFileW(foreign.c_str());
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ((std::vector<LONG>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0}),
              Flags(table));
    ReleasePendingRenameTable(&table);
}

// Wine's CreateSymbolicLinkW makes no link a program can follow: the folder that leads elsewhere
// is shown by the final path the system reports for it.
TEST_F(PendingRenames, AProductFolderReachedThroughALinkIsLeftForTheBoot)
{
    PendingRenameTable table = Parse(MultiString({L"\\??\\" + file, L""}));
    {
        ImportHook linked("kernel32.dll", "GetFinalPathNameByHandleW",
                          (const void *)&LinkedFinalPathNameByHandleW);
        EXPECT_TRUE(ApplyPendingDeletions(&table));
    }
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ((std::vector<LONG>{1, 0}), Flags(table));
    EXPECT_TRUE(ApplyPendingDeletions(&table)); // the control: reached directly, deleted
    EXPECT_FALSE(Exists(file));
    ReleasePendingRenameTable(&table);
}

TEST_F(PendingRenames, ADeletionThatFailsKeepsItsFlag)
{
    HANDLE lock =
        CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    PendingRenameTable table = Parse(MultiString({L"\\??\\" + file, L""}));
    EXPECT_FALSE(ApplyPendingDeletions(&table));
    CloseHandle(lock);
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ((std::vector<LONG>{1, 0}), Flags(table));
    ReleasePendingRenameTable(&table);
}

TEST(PendingRenameParse, MalformedValuesGiveSoundTables)
{
    ExpectEmpty(Parse(L""));
    ExpectEmpty(Parse(std::wstring(1, L'\0')));
    ExpectEmpty(Parse(MultiString({L"\\??\\C:\\a.dll"})));
    // Only the odd last byte: no whole character.
    ExpectEmpty(Parse(L"", 1));

    const std::vector<std::wstring> pair = {L"C:\\a", L"C:\\b"};
    std::vector<std::wstring> expected = {L"C:\\a", L"C:\\b"};
    struct {
        const char *name;
        std::wstring value;
        DWORD extra, cut;
        LONG pairs;
    } cases[] = {
        {"well formed", MultiString(pair), 0, 0, 1},
        {"odd byte count", MultiString(pair), 1, 0, 1},
        {"no list terminator", MultiString(pair, false), 0, 0, 1},
        // The last string's NUL cut off: it is no string, and neither is its pair.
        {"last string unterminated", MultiString(pair, false), 0, 2, 0},
        {"last string cut mid-character", MultiString(pair, false), 0, 1, 0},
        // A deletion without the list's NUL: the empty target sits on the character limit.
        {"deletion without list terminator", MultiString({L"C:\\a", L""}, false), 0, 0, 0},
        {"garbage after the list", MultiString(pair) + L"C:\\x", 0, 0, 1},
    };
    for (const auto &c : cases) {
        PendingRenameTable table = Parse(c.value, c.extra, c.cut);
        EXPECT_EQ(c.pairs, table.pairCount) << c.name;
        if (table.pairCount == 1) {
            EXPECT_EQ(expected, Paths(table)) << c.name;
        }
        ReleasePendingRenameTable(&table);
    }
}

TEST(PendingRenameParse, LongPathsAndMegabytesOfEntries)
{
    std::wstring longPath = L"\\??\\C:\\" + std::wstring(70000, L'x');
    PendingRenameTable table = Parse(MultiString({longPath, L""}));
    ASSERT_EQ(1, table.pairCount);
    EXPECT_EQ(longPath, table.paths[0]);
    EXPECT_EQ(0, table.exists[0]);
    ReleasePendingRenameTable(&table);

    std::vector<std::wstring> strings;
    for (int i = 0; i < 40000; i++) {
        strings.push_back(L"\\??\\C:\\no-such-folder\\" + std::to_wstring(i) + L".dll");
        strings.push_back(i % 2 ? L"" : L"!\\??\\C:\\target.dll");
    }
    std::wstring value = MultiString(strings);
    ASSERT_GT(value.size() * 2, 2u * 1024 * 1024);
    GlobalHeapCount count;
    table = Parse(value);
    EXPECT_EQ(40000, table.pairCount);
    EXPECT_EQ(strings[79998], table.paths[79998]);
    EXPECT_EQ(nullptr, table.paths[79999]);
    ReleasePendingRenameTable(&table);
    EXPECT_EQ(count.allocs, count.frees);
}

// Whatever the bytes, the table is the block's leading strings, in order, and nothing else.
TEST(PendingRenameParse, ThousandsOfRandomBlobsNeverReadPastTheBlock)
{
    std::mt19937 random(20240531);
    const WCHAR alphabet[] = {0, 0, 0, L'\\', L'?', L'C', L':', L'x', 0xD800, 0xFFFF};
    GlobalHeapCount count;
    LONG pairsSeen = 0;
    for (int round = 0; round < 5000; round++) {
        size_t bytes = random() % 64;
        if (round % 100 == 0)
            bytes = random() % 4096;
        std::vector<BYTE> blob(bytes);
        for (size_t i = 0; i + 1 < bytes; i += 2) {
            WCHAR c = alphabet[random() % (sizeof(alphabet) / sizeof(alphabet[0]))];
            memcpy(&blob[i], &c, 2);
        }
        if (bytes % 2)
            blob[bytes - 1] = (BYTE)random();
        GuardedBlock block(blob.data(), bytes);
        PendingRenameTable table = ParsePendingRenameValue(block.data(), (DWORD)bytes);

        std::wstring rebuilt;
        for (LONG i = 0; i < 2 * table.pairCount; i++) {
            if (table.paths[i])
                rebuilt += table.paths[i];
            rebuilt += L'\0';
            EXPECT_TRUE(table.exists[i] == 0 || table.exists[i] == 1);
        }
        ASSERT_LE(rebuilt.size() * 2, bytes) << "round " << round;
        EXPECT_EQ(0, memcmp(rebuilt.data(), blob.data(), rebuilt.size() * 2)) << "round " << round;
        pairsSeen += table.pairCount;
        ReleasePendingRenameTable(&table);
    }
    EXPECT_GT(pairsSeen, 1000); // the blobs did reach the parsing, not only the empty answer
    EXPECT_EQ(count.allocs, count.frees);
}

TEST(PendingRenameParse, AnyRefusedAllocationGivesTheEmptyTableWithoutLeaks)
{
    std::wstring value = MultiString({L"C:\\a", L"", L"C:\\b", L"C:\\c"});
    for (int failAt = 1; failAt <= 5; failAt++) {
        GlobalHeapCount count(failAt);
        PendingRenameTable table = Parse(value);
        EXPECT_EQ(1, count.refused) << failAt;
        ExpectEmpty(table);
        EXPECT_EQ(count.allocs, count.frees) << failAt;
    }
}

TEST_F(PendingRenames, LoadsTheRealValueAndNeverChangesIt)
{
    SavedPendingRenames saved;
    saved.Remove();
    ExpectEmpty(LoadPendingRenameTable());
    saved.Set(REG_MULTI_SZ, L"", 2);
    ExpectEmpty(LoadPendingRenameTable());

    std::wstring value = MultiString({L"\\??\\" + file, L"", L"\\??\\C:\\a.tmp", L"!\\??\\C:\\b"});
    saved.Set(REG_MULTI_SZ, value.data(), (DWORD)value.size() * 2);
    GlobalHeapCount count;
    PendingRenameTable table = LoadPendingRenameTable();
    ASSERT_EQ(2, table.pairCount);
    EXPECT_EQ((std::vector<std::wstring>{L"\\??\\" + file, L"<none>", L"\\??\\C:\\a.tmp",
                                         L"!\\??\\C:\\b"}),
              Paths(table));
    ApplyPendingDeletions(&table);
    EXPECT_FALSE(Exists(file));
    ReleasePendingRenameTable(&table);
    EXPECT_EQ(count.allocs, count.frees);
    EXPECT_EQ(value, saved.Current());

    // A value of another type is read as the same characters; still a sound table.
    saved.Set(REG_BINARY, value.data(), (DWORD)value.size() * 2 - 1);
    table = LoadPendingRenameTable();
    EXPECT_EQ(2, table.pairCount);
    ReleasePendingRenameTable(&table);
}

LSTATUS WINAPI RefusingRegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY)
{
    return ERROR_ACCESS_DENIED;
}

std::string openedKey;
REGSAM openedAccess;
LSTATUS WINAPI RecordingRegOpenKeyExA(HKEY root, LPCSTR name, DWORD options, REGSAM access,
                                      PHKEY key)
{
    openedKey = name;
    openedAccess = access;
    return SYSTEM_FUNCTION("advapi32.dll", RegOpenKeyExA)(root, name, options, access, key);
}

// The value grows between the two queries: the second one asks for more room.
int queryCalls;
LSTATUS WINAPI GrowingRegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE data, LPDWORD size)
{
    queryCalls++;
    if (!data) {
        *size = 40;
        return ERROR_SUCCESS;
    }
    *size = 80;
    return ERROR_MORE_DATA;
}

// Answers a read with a byte count above the room it was given.
LSTATUS WINAPI BoastingRegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE data, LPDWORD size)
{
    static const WCHAR value[] = L"C:\\a\0\0"; // 7 characters, 14 bytes
    if (!data) {
        *size = sizeof(value);
        return ERROR_SUCCESS;
    }
    memcpy(data, value, sizeof(value));
    *size = 4096;
    return ERROR_SUCCESS;
}

TEST(PendingRenameLoad, OpensTheSessionManagerKeyForReadingOnly)
{
    {
        ImportHook hook("advapi32.dll", "RegOpenKeyExA",
                        reinterpret_cast<const void *>(&RecordingRegOpenKeyExA));
        PendingRenameTable table = LoadPendingRenameTable();
        ReleasePendingRenameTable(&table);
    }
    EXPECT_EQ("SYSTEM\\CurrentControlSet\\Control\\Session Manager", openedKey);
    EXPECT_EQ(REGSAM(KEY_READ), openedAccess);

    ImportHook hook("advapi32.dll", "RegOpenKeyExA",
                    reinterpret_cast<const void *>(&RefusingRegOpenKeyExA));
    ExpectEmpty(LoadPendingRenameTable());
}

TEST(PendingRenameLoad, ASecondQueryThatFailsOrOverstatesIsNotBelieved)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key));
    DWORD bytes = 99;
    {
        GlobalHeapCount count;
        ImportHook hook("advapi32.dll", "RegQueryValueExW",
                        reinterpret_cast<const void *>(&GrowingRegQueryValueExW));
        queryCalls = 0;
        EXPECT_EQ(nullptr, ReadPendingRenameValue(key, &bytes));
        EXPECT_EQ(2, queryCalls);
        EXPECT_EQ(0u, bytes);
        EXPECT_EQ(1, count.allocs);
        EXPECT_EQ(1, count.frees);
    }
    // The key was closed by the read.
    EXPECT_NE(ERROR_SUCCESS, RegCloseKey(key));

    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key));
    ImportHook hook("advapi32.dll", "RegQueryValueExW",
                    reinterpret_cast<const void *>(&BoastingRegQueryValueExW));
    BYTE *block = ReadPendingRenameValue(key, &bytes);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(14u, bytes);
    GlobalFree(block);
}

} // namespace

namespace {

std::vector<BYTE> Bytes(const std::wstring &text, size_t extraByte = 0)
{
    std::vector<BYTE> bytes(text.size() * 2 + extraByte, 0);
    memcpy(bytes.data(), text.data(), text.size() * 2);
    if (extraByte)
        bytes.back() = 0x5A;
    return bytes;
}

std::vector<BYTE> CurrentBytes()
{
    HKEY key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                  KEY_READ, &key);
    DWORD size = 0;
    RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL, NULL, &size);
    std::vector<BYTE> bytes(size);
    RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL, bytes.data(), &size);
    RegCloseKey(key);
    return bytes;
}

TEST(ForgetPendingDeletions, RemovesOnlyTheDeletionsOfTheGivenFiles)
{
    SavedPendingRenames saved;
    const WCHAR *placed[] = {L"C:\\windows\\system32\\tvlmon64.dll",
                             L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\tvlui64.dll"};
    std::wstring value = MultiString({
        L"\\??\\C:\\other\\a.dll", L"",                    // another program's deletion
        L"\\??\\C:\\WINDOWS\\System32\\TVLMON64.DLL", L"", // ours, in other letter case
        L"\\??\\C:\\windows\\system32\\tvlmon64.dll", L"\\??\\C:\\x.dll",   // a rename: kept
        L"C:\\windows\\system32\\spool\\drivers\\x64\\3\\tvlui64.dll", L"", // no prefix: ours
        L"\\??\\C:\\windows\\system32\\tvlmon64.dll.bak", L"",              // another name
        L"odd", // an odd last string stays
    });
    std::vector<BYTE> original = Bytes(value, 1); // and an odd last byte
    saved.Set(REG_MULTI_SZ, original.data(), (DWORD)original.size());

    EXPECT_EQ(2, ForgetPendingDeletions(placed, 2));
    std::wstring expected = MultiString({
        L"\\??\\C:\\other\\a.dll",
        L"",
        L"\\??\\C:\\windows\\system32\\tvlmon64.dll",
        L"\\??\\C:\\x.dll",
        L"\\??\\C:\\windows\\system32\\tvlmon64.dll.bak",
        L"",
        L"odd",
    });
    EXPECT_EQ(Bytes(expected, 1), CurrentBytes());

    // Nothing of ours: the value is not written at all, whatever its layout.
    std::vector<BYTE> unterminated = Bytes(L"\\??\\C:\\other\\a.dll");
    saved.Set(REG_MULTI_SZ, unterminated.data(), (DWORD)unterminated.size());
    std::vector<BYTE> before = CurrentBytes(); // as the registry stored it
    EXPECT_EQ(0, ForgetPendingDeletions(placed, 2));
    EXPECT_EQ(before, CurrentBytes());
}

int g_longPathLookups;
DWORD WINAPI CountingGetLongPathNameW(LPCWSTR path, LPWSTR buffer, DWORD chars)
{
    g_longPathLookups++;
    return SYSTEM_FUNCTION("kernel32.dll", GetLongPathNameW)(path, buffer, chars);
}

TEST(ForgetPendingDeletions, LeavesValuesOfOtherTypesAndAbsentValuesAlone)
{
    SavedPendingRenames saved;
    const WCHAR *placed[] = {L"C:\\t\\tvlmon64.dll"};
    saved.Remove();
    {
        // With nothing scheduled no folder is read for a long name.
        g_longPathLookups = 0;
        ImportHook lookups("kernel32.dll", "GetLongPathNameW",
                           reinterpret_cast<const void *>(&CountingGetLongPathNameW));
        EXPECT_EQ(0, ForgetPendingDeletions(placed, 1));
        EXPECT_EQ(0, g_longPathLookups);
    }
    std::wstring value = MultiString({L"\\??\\C:\\t\\tvlmon64.dll", L""});
    saved.Set(REG_BINARY, value.data(), (DWORD)value.size() * 2);
    EXPECT_EQ(0, ForgetPendingDeletions(placed, 1));
    EXPECT_EQ(Bytes(value), CurrentBytes());
    saved.Set(REG_MULTI_SZ, value.data(), (DWORD)value.size() * 2);
    GlobalHeapCount count;
    EXPECT_EQ(1, ForgetPendingDeletions(placed, 1));
    EXPECT_EQ(count.allocs, count.frees);
    EXPECT_EQ(Bytes(MultiString({})), CurrentBytes());
}

// Another program schedules its file while the tool works: at the tool's first full read.
int g_valueReads;
LSTATUS WINAPI ReadThenOtherWrites(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD size)
{
    auto real = SYSTEM_FUNCTION("advapi32.dll", RegQueryValueExW);
    LSTATUS result = real(key, name, reserved, type, data, size);
    if (data && name && wcscmp(name, L"PendingFileRenameOperations") == 0 && ++g_valueReads == 1) {
        std::wstring later =
            MultiString({L"\\??\\C:\\other\\late.dll", L"", L"\\??\\C:\\other\\a.dll", L"",
                         L"\\??\\C:\\t\\tvlmon64.dll", L""});
        SYSTEM_FUNCTION("advapi32.dll", RegSetValueExW)
        (key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(later.data()),
         (DWORD)later.size() * 2);
    }
    return result;
}

LSTATUS WINAPI RefusedSetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(PendingRenames, TheWriteComparesLongFormsSurvivesAnotherWriterAndReportsARefusal)
{
    SavedPendingRenames saved;
    // A placed file named by its 8.3 spelling in the value, and the other way round.
    std::wstring longName = dir + L"\\placed component file.dll";
    ASSERT_TRUE(MakeFile(longName));
    WCHAR shortName[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(longName.c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(longName, std::wstring(shortName)) << "no 8.3 name to test with";
    const WCHAR *asLong[] = {longName.c_str()};
    const WCHAR *asShort[] = {shortName};
    for (const WCHAR *const *placed : {asLong, asShort}) {
        const WCHAR *other = placed == asLong ? shortName : longName.c_str();
        std::wstring value = MultiString({std::wstring(L"\\??\\") + other, L""});
        saved.Set(REG_MULTI_SZ, value.data(), (DWORD)value.size() * 2);
        EXPECT_EQ(1, ForgetPendingDeletions(placed, 1));
        EXPECT_EQ(Bytes(MultiString({})), CurrentBytes());
    }
    DeleteFileW(longName.c_str());

    // Changed between the read and the write: the other program's entry stays.
    const WCHAR *placed[] = {L"C:\\t\\tvlmon64.dll"};
    std::wstring value =
        MultiString({L"\\??\\C:\\other\\a.dll", L"", L"\\??\\C:\\t\\tvlmon64.dll", L""});
    saved.Set(REG_MULTI_SZ, value.data(), (DWORD)value.size() * 2);
    {
        g_valueReads = 0;
        ImportHook read("advapi32.dll", "RegQueryValueExW",
                        reinterpret_cast<const void *>(&ReadThenOtherWrites));
        EXPECT_EQ(1, ForgetPendingDeletions(placed, 1));
    }
    EXPECT_EQ(
        Bytes(MultiString({L"\\??\\C:\\other\\late.dll", L"", L"\\??\\C:\\other\\a.dll", L""})),
        CurrentBytes());

    // A refused write is no success.
    saved.Set(REG_MULTI_SZ, value.data(), (DWORD)value.size() * 2);
    {
        ImportHook refuse("advapi32.dll", "RegSetValueExW",
                          reinterpret_cast<const void *>(&RefusedSetValue));
        SeedLastError();
        EXPECT_EQ(-1, ForgetPendingDeletions(placed, 1));
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    }
    EXPECT_EQ(Bytes(value), CurrentBytes());
}

} // namespace
