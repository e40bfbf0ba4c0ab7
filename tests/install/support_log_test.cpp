// setup.log beside the tool: its runs, their bytes, the size cap, and the files it refuses.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "import_hook.h"
#include "setup_context.h"
#include "setup_log.h"
#include "support_log.h"
#include "test_paths.h"

namespace {

const std::string BOM = "\xEF\xBB\xBF";
const DWORD CAP = SUPPORT_LOG_MAX_BYTES;

void WINAPI FixedLocalTime(SYSTEMTIME *time)
{
    *time = {};
    time->wYear = 2026;
    time->wMonth = 12;
    time->wDay = 7;
    time->wHour = 9;
    time->wMinute = 5;
    time->wSecond = 3;
}

const WCHAR *commandLine = L"";
LPWSTR WINAPI FixedCommandLine()
{
    return const_cast<LPWSTR>(commandLine);
}

// One run as the file holds it, lines given without their CR LF.
std::string FileRun(const std::string &command, int exitCode, const std::string &lines)
{
    std::string run = "=== 2026-12-07 09:05:03 build 2551 " + command + "\r\n";
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        if (end == std::string::npos)
            end = lines.size();
        run += lines.substr(at, end - at) + "\r\n";
        at = end + 1;
    }
    return run + "=== exit code " + std::to_string(exitCode) + "\r\n";
}

// An older run of exactly `bytes` bytes, written by an earlier build on another day.
std::string OldRun(int number, size_t bytes)
{
    std::string head = "=== 2026-01-0" + std::to_string(number) + " 10:00:00 build 2550 old\r\n";
    std::string tail = "=== exit code 1\r\n";
    std::string body(bytes - head.size() - tail.size() - 2, 'x');
    return head + body + "\r\n" + tail;
}

// A folder standing in for the tool's own, with the time and command line of the run fixed.
class SupportLog : public ::testing::Test {
protected:
    SetupContext context = {};
    std::wstring dir, logPath;
    ImportHook clockHook{"kernel32.dll", "GetLocalTime",
                         reinterpret_cast<const void *>(&FixedLocalTime)};
    ImportHook commandLineHook{"kernel32.dll", "GetCommandLineW",
                               reinterpret_cast<const void *>(&FixedCommandLine)};

    void SetUp() override
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir = std::wstring(temp) + L"support_log_test_" + std::to_wstring(GetCurrentProcessId()) +
              L"\\";
        CreateDirectoryW(dir.c_str(), NULL);
        logPath = dir + L"setup.log";
        DeleteFileW(logPath.c_str()); // left by a run that was killed
        Assign(&context.moduleDir, dir.c_str());
        commandLine = L"\"C:\\Program Files\\Zentavo\\Setup\\setup.exe\" install";
    }
    void TearDown() override
    {
        EXPECT_TRUE(RemoveFolder(dir)) << "a test left files behind";
        FreeString(&context.logText);
        FreeString(&context.moduleDir);
    }
    void Log(const WCHAR *text)
    {
        FreeString(&context.logText);
        LogLine(&context, L"%s", text);
    }
};

const char *const INSTALL = "\"C:\\Program Files\\Zentavo\\Setup\\setup.exe\" install";

TEST_F(SupportLog, RunsAreAppendedNewestLastInUtf8WithBomAndCrLf)
{
    FreeString(&context.logText);
    LogLine(&context, L"Zentavo %d", BUILD_NUMBER);
    context.logDepth = 1;
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogError(&context, ERR_OPEN_SOURCE, L"Cant't open source file: %s", L"tvlui64.dll");
    LogLine(&context, L"DeletePrinter B\x00FCro \x20AC");
    context.logDepth = 0;
    EXPECT_TRUE(WriteSupportLog(&context, 100));
    std::string first =
        FileRun(INSTALL, 100,
                "Zentavo 2551\n"
                "  Error(10): Cant't open source file: tvlui64.dll - (File not found.)\n"
                "  DeletePrinter B\xC3\xBCro \xE2\x82\xAC");
    EXPECT_EQ(BOM + first, ReadWholeFile(logPath));

    commandLine = L"setup.exe un";
    Log(L"Zentavo 2551");
    EXPECT_TRUE(WriteSupportLog(&context, 2));
    commandLine = L"setup.exe in_notray 1234";
    EXPECT_TRUE(WriteSupportLog(&context, 101));
    EXPECT_EQ(BOM + first + FileRun("setup.exe un", 2, "Zentavo 2551") +
                  FileRun("setup.exe in_notray 1234", 101, "Zentavo 2551"),
              ReadWholeFile(logPath));
}

// Text the tool did not write itself (a printer's name, the command line) cannot break a line
// or pass for a run's boundary.
TEST_F(SupportLog, OnlyTheToolsOwnLinesMarkRuns)
{
    const struct {
        const WCHAR *command, *log;
        const char *fileCommand, *fileLines;
    } cases[] = {
        {L"setup.exe install", L"=== 2026-01-01 00:00:00 forged", "setup.exe install",
         " === 2026-01-01 00:00:00 forged"},
        {L"setup.exe install", L"=== exit code 1", "setup.exe install", " === exit code 1"},
        {L"setup.exe install", L"  === indented", "setup.exe install", "  === indented"},
        {L"setup.exe install", L"DeletePrinter a\nb\rc\td", "setup.exe install",
         "DeletePrinter a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD"
         "c\td"},
        {L"setup.exe install\r\n=== exit code 1", L"x",
         "setup.exe install\xEF\xBF\xBD\xEF\xBF\xBD"
         "=== exit code 1",
         "x"},
    };
    for (const auto &c : cases) {
        DeleteFileW(logPath.c_str());
        commandLine = c.command;
        Log(c.log);
        EXPECT_TRUE(WriteSupportLog(&context, 1));
        EXPECT_EQ(BOM + FileRun(c.fileCommand, 1, c.fileLines), ReadWholeFile(logPath))
            << "case #" << (&c - cases);
    }
}

TEST_F(SupportLog, PastTheCapTheOldestRunsAreDroppedWhole)
{
    Log(L"Zentavo 2551");
    const std::string run = FileRun(INSTALL, 1, "Zentavo 2551");
    const size_t room = CAP - BOM.size() - run.size(); // what older runs may take with this one
    const struct {
        std::string before, after;
    } cases[] = {
        // Exactly at the cap: appended, nothing dropped.
        {BOM + OldRun(1, room - 1000) + OldRun(2, 1000),
         BOM + OldRun(1, room - 1000) + OldRun(2, 1000) + run},
        // One byte over: the oldest goes.
        {BOM + OldRun(1, room - 999) + OldRun(2, 1000), BOM + OldRun(2, 1000) + run},
        // As many as needed: two small ones before a large one.
        {BOM + OldRun(1, 100) + OldRun(2, 100) + OldRun(3, room - 90),
         BOM + OldRun(3, room - 90) + run},
        // A file grown past the cap by someone else: only whole runs of its end stay.
        {BOM + OldRun(1, 900000) + OldRun(2, 900000) + OldRun(3, 4000),
         BOM + OldRun(2, 900000) + OldRun(3, 4000) + run},
        {BOM + std::string(3 * CAP, 'x'), BOM + run},
        // Text that is not the tool's: without a byte-order mark, nothing of it is a run.
        {"notes\r\n" + OldRun(1, 100), BOM + OldRun(1, 100) + run},
        {"notes\r\n", BOM + run},
        {BOM, BOM + run},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(WriteWholeFile(logPath, c.before));
        EXPECT_TRUE(WriteSupportLog(&context, 1)) << "case #" << (&c - cases);
        std::string after = ReadWholeFile(logPath);
        EXPECT_LE(after.size(), (size_t)CAP) << "case #" << (&c - cases);
        EXPECT_TRUE(after == c.after) << "case #" << (&c - cases) << ": " << after.size()
                                      << " bytes, expected " << c.after.size();
    }
}

// What the file-information call says of the opened handle. Windows shows a symbolic link only
// to a handle opened with FILE_FLAG_OPEN_REPARSE_POINT (else it opens the target: one link, no
// reparse attribute); Wine has no reparse points, so the link is played here.
DWORD openedFlags;
HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE templateFile)
{
    openedFlags = flags;
    auto real = SYSTEM_FUNCTION("kernel32.dll", CreateFileW);
    return real(path, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI SymbolicLinkInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    auto real = SYSTEM_FUNCTION("kernel32.dll", GetFileInformationByHandle);
    BOOL ok = real(file, info);
    if (ok && (openedFlags & FILE_FLAG_OPEN_REPARSE_POINT))
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}

HANDLE WINAPI DeniedCreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// The disk fills up after `roomLeft` more bytes.
DWORD roomLeft;
BOOL WINAPI FillingWriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written,
                             LPOVERLAPPED overlapped)
{
    auto real = SYSTEM_FUNCTION("kernel32.dll", WriteFile);
    DWORD now = bytes < roomLeft ? bytes : roomLeft;
    roomLeft -= now;
    BOOL ok = real(file, data, now, written, overlapped);
    if (ok && now < bytes) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return ok;
}

TEST_F(SupportLog, ALinkIsNeverWrittenThrough)
{
    Log(L"Zentavo 2551");
    std::wstring other = dir + L"other.txt";
    ASSERT_TRUE(WriteWholeFile(other, "someone else's file"));
    ASSERT_TRUE(CreateHardLinkW(logPath.c_str(), other.c_str(), NULL));
    EXPECT_FALSE(WriteSupportLog(&context, 1));
    EXPECT_EQ("someone else's file", ReadWholeFile(other)) << "through a second hard link";
    DeleteFileW(logPath.c_str());

    ASSERT_TRUE(WriteWholeFile(logPath, "a link's own data"));
    {
        ImportHook open("kernel32.dll", "CreateFileW",
                        reinterpret_cast<const void *>(&RecordingCreateFileW));
        ImportHook info("kernel32.dll", "GetFileInformationByHandle",
                        reinterpret_cast<const void *>(&SymbolicLinkInformation));
        EXPECT_FALSE(WriteSupportLog(&context, 1));
    }
    EXPECT_EQ("a link's own data", ReadWholeFile(logPath)) << "through a symbolic link";
}

TEST_F(SupportLog, AFileThatCannotBeWrittenIsLeftAsItWas)
{
    Log(L"Zentavo 2551");
    {
        ImportHook open("kernel32.dll", "CreateFileW",
                        reinterpret_cast<const void *>(&DeniedCreateFileW));
        EXPECT_FALSE(WriteSupportLog(&context, 1));
    }
    EXPECT_EQ("<missing>", ReadWholeFile(logPath)) << "a read-only folder";

    ASSERT_TRUE(CreateDirectoryW(logPath.c_str(), NULL));
    EXPECT_FALSE(WriteSupportLog(&context, 1));
    EXPECT_TRUE(RemoveDirectoryW(logPath.c_str())) << "a folder named setup.log";

    // A disk that fills up keeps what was there: no run is ever cut in half.
    const std::string old = BOM + OldRun(1, 200);
    const std::string full = BOM + OldRun(1, CAP - BOM.size() - 100);
    const struct {
        std::string before;
        DWORD room;
        std::string after;
    } cases[] = {
        {"", 0, ""},
        {"", 10, ""},
        {old, 0, old},
        {old, 30, old},
        // A rewrite that fails after the kept runs ends with them.
        {full, 20, BOM},
        {BOM + OldRun(1, 600000) + OldRun(2, 300000) + OldRun(3, 300000), 600100,
         BOM + OldRun(2, 300000) + OldRun(3, 300000)},
    };
    for (const auto &c : cases) {
        DeleteFileW(logPath.c_str());
        if (!c.before.empty()) {
            ASSERT_TRUE(WriteWholeFile(logPath, c.before));
        }
        roomLeft = c.room;
        {
            ImportHook write("kernel32.dll", "WriteFile",
                             reinterpret_cast<const void *>(&FillingWriteFile));
            EXPECT_FALSE(WriteSupportLog(&context, 1)) << "case #" << (&c - cases);
        }
        EXPECT_TRUE(c.after == ReadWholeFile(logPath)) << "case #" << (&c - cases);
    }
}

TEST_F(SupportLog, NothingIsWrittenOutsideAnAbsoluteFolder)
{
    Log(L"Zentavo 2551");
    WCHAR current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(dir.c_str());
    for (const WCHAR *folder : {L"", L"sub\\", L"C:", L"\\"}) {
        Assign(&context.moduleDir, folder);
        EXPECT_FALSE(WriteSupportLog(&context, 1)) << folder;
    }
    SetCurrentDirectoryW(current);
    EXPECT_EQ("<missing>", ReadWholeFile(logPath));
    EXPECT_EQ("<missing>", ReadWholeFile(L"C:\\setup.log"));
    DeleteFileW(L"C:\\setup.log");
}

} // namespace
