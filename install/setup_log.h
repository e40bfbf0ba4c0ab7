// The in-memory setup log and its error reports.
#pragma once

#include <windows.h>

#include "product.h"

struct SetupContext;

// A formatted line holds at most this many characters with its terminator.
const size_t LOG_LINE_CHARS = 1024;
// Indentation is two spaces a level, for at most this many levels.
const LONG LOG_MAX_DEPTH = 10;

// Error report codes: each text always carries its own code.
enum {
    ERR_OPEN_SCM = 1,
    ERR_OPEN_SPOOLER = 2,
    ERR_STOP_SPOOLER = 3,
    ERR_START_SPOOLER = 4,
    ERR_CONTROL_SERVICE = 5,
    ERR_DRIVER_DIRECTORY = 6,
    ERR_SYSTEM_DIRECTORY = 7,
    ERR_COPY_FILE = 8,
    ERR_OPEN_DESTINATION = 9,
    ERR_OPEN_SOURCE = 10,
    ERR_ADD_MONITOR = 11,
    ERR_REMOVE_MONITOR = 12,
    ERR_ADD_DRIVER = 13,
    ERR_REMOVE_DRIVER = 14,
    ERR_ADD_PRINTER = 15,
    ERR_OPEN_PRINTER = 16,
    ERR_DELETE_PRINTER = 17,
    ERR_KEEP_PLACED_FILES = 18,
    ERR_FOLDER_OPEN_TO_OTHERS = 19,
    ERR_FOLDER_SECURITY = 20,
    ERR_KEEP_PRINTER = 21,
    ERR_SPOOLER_DISABLED = 22,
    ERR_PROTECTED_PRINT = 23,
    ERR_FOREIGN_MACHINE = 24,
};

// A section of the log for the scope of an operation: raises the context's depth when made and
// lowers it by as much on every way out. The operation writes its heading line before.
class LogSection {
public:
    explicit LogSection(SetupContext *context, LONG step = LOG_SECTION_STEP);
    ~LogSection();

private:
    LogSection(const LogSection &);
    LogSection &operator=(const LogSection &);
    SetupContext *context_;
    LONG step_;
};

void LogLine(SetupContext *context, const WCHAR *format, ...);
// Writes "Error(code): text", with the system's message of the last error when it is not 0,
// and counts the report.
void LogError(SetupContext *context, DWORD code, const WCHAR *format, ...);
// The system's English message for a Win32 error, or null; its trailing line breaks are
// removed unless `keepLineBreaks`. The caller frees it with LocalFree.
WCHAR *SystemMessageText(DWORD code, bool keepLineBreaks = false);
