// The support log: every install and uninstall run kept in setup.log beside the tool.
#pragma once

#include <windows.h>

struct SetupContext;

const WCHAR SUPPORT_LOG_NAME[] = L"setup.log";
// The file stays within this size: the oldest runs are dropped whole to make room.
const DWORD SUPPORT_LOG_MAX_BYTES = 1024 * 1024;
// Every run starts with a line "=== YYYY-MM-DD hh:mm:ss build N COMMAND LINE" and ends with
// "=== exit code N"; no other line of the file starts with this mark.
const WCHAR SUPPORT_LOG_MARK[] = L"=== ";

// Whether the line that starts at byte `at` of the file's text (`length` bytes, UTF-8) is a run's
// header: the mark, then a digit (the header's date). The one test of where a run starts.
bool IsSupportLogRunHeader(const BYTE *text, DWORD at, DWORD length);

// Appends one run to setup.log in the tool's folder: the header with the local time, the build
// and this process's command line, the log as the log window shows it, and the exit code. UTF-8
// with a byte-order mark, CR LF line ends. A file that is a link, or that cannot be opened,
// read or written, is left as it was: the log is then simply missing. True when the run was
// written.
bool WriteSupportLog(const SetupContext *context, int exitCode);

// Appends the CR LF lines of `text` to the file at `path` (a plain absolute path) by the rules
// of setup.log: never through a link, control characters replaced, no line read as a run's
// boundary, a byte-order mark into an empty file. With `capped` the file is a support log and
// keeps its size cap, the lines going with the run before them; otherwise it only grows. True
// when written.
bool AppendToOwnFile(const WCHAR *path, const WCHAR *text, bool capped);
