// The in-memory log: indentation, formatting, error reports with the system's text, long lines.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "import_hook.h"
#include "setup_context.h"
#include "setup_log.h"
#include "setup_log_internal.h"

namespace {

class SetupLog : public ::testing::Test {
protected:
    SetupContext context = {};
    void TearDown() override
    {
        FreeString(&context.logText);
    }
    std::wstring log() const
    {
        return StringText(context.logText);
    }
};

TEST_F(SetupLog, IndentsTwoSpacesPerLevelUpToTenLevels)
{
    const struct {
        LONG depth;
        const WCHAR *line;
    } cases[] = {{0, L"x\r\n"},
                 {3, L"      x\r\n"},
                 {12, L"                    x\r\n"},
                 {-1, L"x\r\n"},
                 {10, L"                    x\r\n"}};
    for (const auto &c : cases) {
        FreeString(&context.logText);
        context.logDepth = c.depth;
        LogLine(&context, L"x");
        EXPECT_EQ(std::wstring(c.line), log()) << "depth " << c.depth;
    }
}

TEST_F(SetupLog, EmptyOrNullTextStillWritesIndentAndLineEnd)
{
    context.logDepth = 1;
    LogAppend(&context, nullptr);
    LogAppend(&context, L"");
    EXPECT_EQ(L"  \r\n  \r\n", log());
}

TEST_F(SetupLog, FormatsWidePrintfArguments)
{
    LogLine(&context, L"Zentavo %d", 2551);
    LogLine(&context, L"PrinterDriverDirectory(1):%s", L"C:\\windows");
    LogLine(&context, L"%d (0x%x)", 1062, 1062u);
    EXPECT_EQ(L"Zentavo 2551\r\nPrinterDriverDirectory(1):C:\\windows\r\n1062 (0x426)\r\n", log());
    EXPECT_EQ(0, context.errorCount);
}

TEST_F(SetupLog, ErrorReportWithoutLastErrorHasNoSuffix)
{
    SetLastError(0);
    LogError(&context, ERR_SYSTEM_DIRECTORY, L"Can`t retrieve system directory.");
    EXPECT_EQ(L"Error(7): Can`t retrieve system directory.\r\n", log());
    EXPECT_EQ(1, context.errorCount);
}

TEST_F(SetupLog, ErrorReportCarriesTheSystemMessageOfTheLastError)
{
    context.logDepth = 2;
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogError(&context, ERR_OPEN_SOURCE, L"Cant't open source file: %s", L"tvlmon64.dll");
    WCHAR *message = SystemMessageText(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(nullptr, message);
    std::wstring expected =
        std::wstring(L"    Error(10): Cant't open source file: tvlmon64.dll - (") + message +
        L")\r\n";
    LocalFree(message);
    EXPECT_EQ(expected, log());
    // The report keeps the last error for whoever looks next.
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(SetupLog, ErrorReportOfAnUnknownCodeSaysNoDescription)
{
    SetLastError(0x2345ABCD);
    LogError(&context, ERR_ADD_PRINTER, L"Can`t add printer '%s'", L"P");
    EXPECT_EQ(L"Error(15): Can`t add printer 'P' - ( No Description )\r\n", log());
}

TEST_F(SetupLog, EveryReportCountsOnceAndEndsWithOneLineBreak)
{
    for (int i = 0; i < 3; i++) {
        SetLastError(0);
        LogError(&context, ERR_START_SPOOLER, L"Can't start the spooler");
    }
    EXPECT_EQ(3, context.errorCount);
    EXPECT_EQ(L"Error(4): Can't start the spooler\r\nError(4): Can't start the spooler\r\n"
              L"Error(4): Can't start the spooler\r\n",
              log());
}

TEST_F(SetupLog, SystemMessageTextDropsTrailingLineBreaksOnly)
{
    WCHAR *message = SystemMessageText(ERROR_ACCESS_DENIED);
    ASSERT_NE(nullptr, message);
    size_t length = wcslen(message);
    ASSERT_GT(length, 0u);
    EXPECT_NE(L'\n', message[length - 1]);
    EXPECT_NE(L'\r', message[length - 1]);
    LocalFree(message);
    EXPECT_EQ(nullptr, SystemMessageText(0x2345ABCD));
}

// The last error must be read before formatting: a format argument that runs code could
// otherwise change it. FormatMessageW is the system call the report makes.
DWORD seenCode;
DWORD WINAPI RecordingFormatMessageW(DWORD flags, LPCVOID source, DWORD code, DWORD language,
                                     LPWSTR buffer, DWORD size, va_list *args)
{
    seenCode = code;
    auto real = SYSTEM_FUNCTION("kernel32.dll", FormatMessageW);
    return real(flags, source, code, language, buffer, size, args);
}

TEST_F(SetupLog, ReportUsesTheLastErrorOfTheMomentItIsWritten)
{
    ImportHook hook("kernel32.dll", "FormatMessageW",
                    reinterpret_cast<const void *>(&RecordingFormatMessageW));
    seenCode = 0;
    SetLastError(ERROR_SHARING_VIOLATION);
    LogError(&context, ERR_OPEN_DESTINATION, L"Cant't open destination file: %s", L"C:\\x.dll");
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, seenCode);
}

TEST_F(SetupLog, OverlongLinesAreCutInsideTheLineBuffer)
{
    std::wstring huge(5000, L'a');
    LogLine(&context, L"%s", huge.c_str());
    std::wstring line = log();
    EXPECT_EQ(LOG_LINE_CHARS - 1 + 2, line.size());
    EXPECT_EQ(L"\r\n", line.substr(line.size() - 2));

    FreeString(&context.logText);
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogError(&context, ERR_OPEN_DESTINATION, L"Cant't open destination file: %s", huge.c_str());
    line = log();
    EXPECT_EQ(LOG_LINE_CHARS - 1 + 2, line.size());
    EXPECT_EQ(0u, line.find(L"Error(9): Cant't open destination file: aaaa"));
    EXPECT_EQ(1, context.errorCount);

    // A long report text still gets its suffix when the buffer has room left for part of it.
    FreeString(&context.logText);
    std::wstring nearlyFull(LOG_LINE_CHARS - 30, L'b');
    SetLastError(0x2345ABCD);
    LogError(&context, ERR_ADD_PRINTER, L"%s", nearlyFull.c_str());
    line = log();
    EXPECT_EQ(LOG_LINE_CHARS - 1 + 2, line.size());
    EXPECT_NE(std::wstring::npos, line.find(L"bb - ( No Descr"));
}

LPVOID WINAPI FailingHeapReAlloc(HANDLE, DWORD, LPVOID, SIZE_T)
{
    return NULL;
}

TEST_F(SetupLog, LineThatCannotGrowTheLogIsDroppedWhole)
{
    LogLine(&context, L"first");
    {
        ImportHook hook("kernel32.dll", "HeapReAlloc",
                        reinterpret_cast<const void *>(&FailingHeapReAlloc));
        LogLine(&context, L"a line long enough to need a larger block of the heap");
    }
    EXPECT_EQ(L"first\r\n", log());
}

} // namespace
