// The path rules: a path's directory and parent, and the one rule for paths the tool acts on.
#include <gtest/gtest.h>

#include <string>

#include "counted_string.h"
#include "last_error.h"
#include "paths.h"
#include "services/file_copy.h"

namespace {

TEST(DirectoryWithSeparator, KeepsTheLastBackslashSlashOrColon)
{
    const struct {
        const WCHAR *path, *dir;
    } cases[] = {
        {L"C:\\Program Files\\X\\setup.exe", L"C:\\Program Files\\X\\"},
        {L"C:/Program Files/X/setup.exe", L"C:/Program Files/X/"},
        {L"C:\\X/setup.exe", L"C:\\X/"},
        {L"C:setup.exe", L"C:"},
        {L"C:\\setup.exe", L"C:\\"},
        {L"\\\\server\\share\\setup.exe", L"\\\\server\\share\\"},
        {L"setup.exe", L""},
        {L"", L""},
    };
    for (const auto &c : cases) {
        CountedString dir = NULL;
        DirectoryWithSeparator(&dir, c.path);
        EXPECT_EQ(std::wstring(c.dir), std::wstring(StringText(dir)));
        FreeString(&dir);
    }
}

TEST(CountedString, ParentDirectory)
{
    const struct {
        const WCHAR *path, *parent;
    } cases[] = {
        {L"C:\\a\\b.txt", L"C:\\a"},
        {L"\\x", L""},
        {L"a/b\\c/d", L"a/b"},
        {L"a/b", L"a"},
        {L"", L""},
        {L"noseparator", L""},
        {L"C:\\a\\", L"C:\\a"},
        {L"/x", L""},
        {L"C:\\Program Files\\X", L"C:\\Program Files"},
    };
    for (const auto &c : cases) {
        CountedString path = NULL, parent = NULL;
        Assign(&path, c.path);
        ParentDirectory(&parent, path);
        EXPECT_STREQ(c.parent, StringText(parent)) << "path " << (const void *)c.path;
        FreeString(&path);
        FreeString(&parent);
    }
    // The result may replace the path it came from.
    CountedString path = NULL;
    Assign(&path, L"D:\\Prog\\Setup");
    ParentDirectory(&path, path);
    EXPECT_STREQ(L"D:\\Prog", StringText(path));
    FreeString(&path);
}

// Folders are examined and made by these names: a trailing separator kept, or a drive without
// its root, would name another folder to the system.
TEST(BareFolder, DropsTrailingSeparatorsButKeepsADrivesRoot)
{
    const struct {
        const WCHAR *folder, *bare;
    } cases[] = {
        {L"C:\\Program Files\\X\\", L"C:\\Program Files\\X"},
        {L"C:\\X\\\\", L"C:\\X"},
        {L"C:\\X/", L"C:\\X"},
        {L"C:\\X", L"C:\\X"},
        {L"C:\\", L"C:\\"},
        {L"C:", L"C:\\"},
    };
    for (const auto &c : cases) {
        CountedString bare = NULL;
        BareFolder(&bare, c.folder);
        EXPECT_EQ(std::wstring(c.bare), std::wstring(StringText(bare))) << c.folder;
        FreeString(&bare);
    }
}

TEST(PlainAbsolutePath, OnlyPlainNamesBelowADriveRootAreWrittenOrDeleted)
{
    const struct {
        const WCHAR *path;
        bool accepted;
    } cases[] = {
        {L"C:\\windows\\system32\\tvlmon64.dll", true},
        {L"z:\\a b\\x.y.dll", true},
        {L"tvlmon64.dll", false},
        {L"3\\tvlui64.dll", false},
        {L"C:tvlmon64.dll", false},
        {L"\\windows\\tvlmon64.dll", false},
        {L"\\\\server\\share\\tvlmon64.dll", false},
        {L"\\\\?\\C:\\tvlmon64.dll", false},
        {L"\\??\\C:\\tvlmon64.dll", false},
        {L"\\Device\\HarddiskVolume1\\tvlmon64.dll", false},
        {L"C:\\windows\\system32\\", false},
        {L"C:\\", false},
        {L"C:\\a\\\\tvlmon64.dll", false},
        {L"C:\\a\\..\\tvlmon64.dll", false},
        {L"C:\\a\\.\\tvlmon64.dll", false},
        {L"C:\\a\\tvlmon64.dll.", false},
        {L"C:\\a\\tvlmon64.dll ", false},
        {L"C:\\a /tvlmon64.dll", false},
        {L"C:\\a\\x.txt:tvlmon64.dll", false},
        {L"C:\\a\\tvlmon6?.dll", false},
        {L"C:\\a\\tvl\ttab.dll", false},
        {L"", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.accepted, IsPlainAbsolutePath(c.path)) << c.path;
        // A refused path never reaches the list of files to delete later.
        PendingDelete *head = NULL;
        EXPECT_EQ(c.accepted, AddPendingDelete(&head, c.path)) << c.path;
        EXPECT_EQ(c.accepted, head != NULL) << c.path;
        FreePendingDeleteList(head);
    }
    EXPECT_FALSE(IsPlainAbsolutePath(NULL));
    SeedLastError();
    EXPECT_FALSE(DeleteOwnFile(L"tvlmon64.dll"));
    EXPECT_EQ((DWORD)ERROR_BAD_PATHNAME, GetLastError());
}

} // namespace
