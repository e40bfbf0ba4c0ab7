// The support log file: runs appended newest last, the oldest dropped whole past the size cap.
#include "support_log.h"

#include <stdio.h>
#include <string.h>

#include "paths.h"
#include "product.h"
#include "setup_record.h"

static const BYTE UTF8_BOM[] = {0xEF, 0xBB, 0xBF};
static const DWORD BOM_BYTES = sizeof(UTF8_BOM);
// The UTF-8 conversion counts in int: a run this long is no log the tool writes.
static const size_t MAX_RUN_CHARS = 64 * 1024 * 1024;
// The fixed part of the header, and the exit line.
static const size_t RUN_LINE_CHARS = 64;

// One line of the file. A control character inside it (a line break in a printer name, say)
// becomes U+FFFD, and a line that would read as a run boundary gets one leading space: only the
// tool's own header and exit lines start with the mark.
static bool AppendFileLine(CountedString *run, const WCHAR *text, size_t count, bool boundary)
{
    bool ok = true;
    if (!boundary && count >= 3 && wcsncmp(text, SUPPORT_LOG_MARK, 3) == 0)
        ok = Append(run, L" ");
    size_t start = StringLength(*run);
    ok = ok && AppendCount(run, text, count);
    if (!ok)
        return false;
    for (size_t i = start; i < StringLength(*run); i++) {
        if ((*run)->text[i] < 0x20 && (*run)->text[i] != L'\t')
            (*run)->text[i] = 0xFFFD;
    }
    return Append(run, L"\r\n");
}

// Each CR LF line of the `length` characters at `text` as a line of the file.
static bool AppendFileLines(CountedString *lines, const WCHAR *text, size_t length)
{
    const WCHAR *end = text + length;
    bool ok = true;
    while (ok && text < end) {
        const WCHAR *lineEnd = text;
        while (lineEnd < end && !(lineEnd[0] == L'\r' && lineEnd + 1 < end && lineEnd[1] == L'\n'))
            lineEnd++;
        ok = AppendFileLine(lines, text, (size_t)(lineEnd - text), false);
        text = lineEnd < end ? lineEnd + 2 : end;
    }
    return ok;
}

// The run as UTF-16: header, the log's lines as the window shows them, the exit line.
static bool BuildRunText(CountedString *run, const SetupContext *context, int exitCode)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR line[RUN_LINE_CHARS];
    _snwprintf(line, RUN_LINE_CHARS, L"%s%04u-%02u-%02u %02u:%02u:%02u build %d ", SUPPORT_LOG_MARK,
               now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, BUILD_NUMBER);
    line[RUN_LINE_CHARS - 1] = 0;
    CountedString header = NULL;
    bool ok = Assign(&header, line) && Append(&header, GetCommandLineW()) &&
              AppendFileLine(run, StringText(header), StringLength(header), true);
    FreeString(&header);

    ok = ok && AppendFileLines(run, StringText(context->logText), StringLength(context->logText));

    _snwprintf(line, RUN_LINE_CHARS, L"%sexit code %d", SUPPORT_LOG_MARK, exitCode);
    line[RUN_LINE_CHARS - 1] = 0;
    return ok && AppendFileLine(run, line, wcslen(line), true);
}

// The run as UTF-8 in a heap block the caller frees; null when it cannot be made.
static char *RunBytes(CountedString run, DWORD *bytes)
{
    size_t length = StringLength(run);
    if (length == 0 || length > MAX_RUN_CHARS)
        return NULL;
    int size = WideCharToMultiByte(CP_UTF8, 0, run->text, (int)length, NULL, 0, NULL, NULL);
    if (size <= 0)
        return NULL;
    char *utf8 = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size));
    if (!utf8)
        return NULL;
    if (WideCharToMultiByte(CP_UTF8, 0, run->text, (int)length, utf8, size, NULL, NULL) != size) {
        HeapFree(GetProcessHeap(), 0, utf8);
        return NULL;
    }
    *bytes = (DWORD)size;
    return utf8;
}

// Opens the file itself, never what a link names: a reparse point is opened as such, and both
// it and a file with a second hard link are refused. The folder may have been prepared by
// someone who wants the elevated tool to write elsewhere.
static HANDLE OpenOwnFile(const WCHAR *path)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks != 1) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

static bool WriteAll(HANDLE file, const void *data, DWORD bytes)
{
    DWORD written = 0;
    return bytes == 0 || (WriteFile(file, data, bytes, &written, NULL) && written == bytes);
}

static bool SeekTo(HANDLE file, ULONGLONG offset)
{
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)offset;
    return SetFilePointerEx(file, position, NULL, FILE_BEGIN) != 0;
}

// Reads the last `bytes` bytes of the file, from `offset`.
static bool ReadTail(HANDLE file, ULONGLONG offset, BYTE *buffer, DWORD bytes)
{
    if (!SeekTo(file, offset))
        return false;
    DWORD done = 0;
    while (done < bytes) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + done, bytes - done, &read, NULL) || read == 0)
            return false;
        done += read;
    }
    return true;
}

bool IsSupportLogRunHeader(const BYTE *text, DWORD at, DWORD length)
{
    static const char mark[] = "=== ";
    const DWORD markBytes = sizeof(mark) - 1;
    return length - at > markBytes && memcmp(text + at, mark, markBytes) == 0 &&
           text[at + markBytes] >= '0' && text[at + markBytes] <= '9';
}

// Where the old runs to keep begin: the first run start from which the rest fits in `budget`
// bytes; `length` when none does. `from` is the first byte that may start a line on its own.
static DWORD KeptRunsStart(const BYTE *old, DWORD from, DWORD length, DWORD budget)
{
    for (DWORD at = from; at < length; at++) {
        bool lineStart = at == from || old[at - 1] == '\n';
        if (lineStart && length - at <= budget && IsSupportLogRunHeader(old, at, length))
            return at;
    }
    return length;
}

// Appends the run after the file's `oldBytes`, with the byte-order mark into an empty file.
// `goodEnd` receives where the file's last whole run ends.
static bool AppendRun(HANDLE file, DWORD oldBytes, const char *run, DWORD runBytes,
                      ULONGLONG *goodEnd)
{
    *goodEnd = oldBytes;
    return SeekTo(file, oldBytes) && (oldBytes != 0 || WriteAll(file, UTF8_BOM, BOM_BYTES)) &&
           WriteAll(file, run, runBytes);
}

// The first byte of the tail `old` read from `offset` that may start a line on its own.
static DWORD FirstLineStart(const BYTE *old, ULONGLONG offset, DWORD oldBytes, bool bom)
{
    if (offset == 0)
        return bom ? BOM_BYTES : 0;
    // Mid-file: the first byte after a line end is the first possible line start.
    for (DWORD at = 0; at < oldBytes; at++) {
        if (old[at] == '\n')
            return at + 1;
    }
    return oldBytes;
}

// Writes the file again: the mark, the newest old runs that leave room for the run, then the
// run. A file that is not all the tool's own (no mark, cut in a line) keeps only whole runs.
// `goodEnd` receives where the last whole run ends once the kept runs are written.
static bool RewriteRuns(HANDLE file, const BYTE *old, ULONGLONG offset, DWORD oldBytes, bool bom,
                        const char *run, DWORD runBytes, ULONGLONG *goodEnd)
{
    DWORD budget = runBytes + BOM_BYTES < SUPPORT_LOG_MAX_BYTES
                       ? SUPPORT_LOG_MAX_BYTES - BOM_BYTES - runBytes
                       : 0;
    DWORD kept = KeptRunsStart(old, FirstLineStart(old, offset, oldBytes, bom), oldBytes, budget);
    bool ok = SeekTo(file, 0) && WriteAll(file, UTF8_BOM, BOM_BYTES) &&
              WriteAll(file, old + kept, oldBytes - kept);
    if (ok)
        *goodEnd = BOM_BYTES + (oldBytes - kept);
    return ok && WriteAll(file, run, runBytes);
}

// Appends the run, or, when the file would grow past the cap, writes it again with the oldest
// runs dropped. A failed write cuts the file back to the last whole run it held. True when the
// run was written.
static bool StoreRun(HANDLE file, const char *run, DWORD runBytes)
{
    bool ok = false;
    LARGE_INTEGER size;
    ULONGLONG fileBytes = 0;
    ULONGLONG offset = 0;
    ULONGLONG goodEnd = 0;
    DWORD oldBytes = 0;
    BYTE *old = NULL;
    bool bom = false;

    if (!GetFileSizeEx(file, &size))
        return false;
    fileBytes = (ULONGLONG)size.QuadPart;
    offset = fileBytes > SUPPORT_LOG_MAX_BYTES ? fileBytes - SUPPORT_LOG_MAX_BYTES : 0;
    oldBytes = (DWORD)(fileBytes - offset);
    old = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, oldBytes ? oldBytes : 1));
    if (!old)
        return false;
    if (!ReadTail(file, offset, old, oldBytes))
        goto done;
    bom = offset == 0 && oldBytes >= BOM_BYTES && memcmp(old, UTF8_BOM, BOM_BYTES) == 0;

    if (offset == 0 && (oldBytes == 0 || bom) &&
        (ULONGLONG)oldBytes + runBytes + (oldBytes ? 0 : BOM_BYTES) <= SUPPORT_LOG_MAX_BYTES)
        ok = AppendRun(file, oldBytes, run, runBytes, &goodEnd);
    else
        ok = RewriteRuns(file, old, offset, oldBytes, bom, run, runBytes, &goodEnd);
    if (ok)
        SetEndOfFile(file);
    else if (SeekTo(file, goodEnd))
        SetEndOfFile(file);

done:
    HeapFree(GetProcessHeap(), 0, old);
    return ok;
}

// Appends after the file's end, with the byte-order mark into an empty file; a failed write
// cuts the file back to where it ended.
static bool AppendAtEnd(HANDLE file, const char *text, DWORD bytes)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || !SeekTo(file, (ULONGLONG)size.QuadPart))
        return false;
    bool ok =
        (size.QuadPart != 0 || WriteAll(file, UTF8_BOM, BOM_BYTES)) && WriteAll(file, text, bytes);
    if (!ok && SeekTo(file, (ULONGLONG)size.QuadPart))
        SetEndOfFile(file);
    return ok;
}

// Writes `text` into the file at `path` as UTF-8: as one more run of a support log with its size
// cap (`capped`), or after the file's end.
static bool StoreInOwnFile(const WCHAR *path, CountedString text, bool capped)
{
    bool ok = false;
    DWORD count = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    char *bytes = RunBytes(text, &count);
    if (!bytes)
        return false;
    file = OpenOwnFile(path);
    if (file != INVALID_HANDLE_VALUE) {
        ok = capped ? StoreRun(file, bytes, count) : AppendAtEnd(file, bytes, count);
        CloseHandle(file);
    }
    HeapFree(GetProcessHeap(), 0, bytes);
    return ok;
}

bool AppendToOwnFile(const WCHAR *path, const WCHAR *text, bool capped)
{
    CountedString lines = NULL;
    bool ok = IsPlainAbsolutePath(path) && AppendFileLines(&lines, text, wcslen(text)) &&
              StoreInOwnFile(path, lines, capped);
    FreeString(&lines);
    return ok;
}

bool WriteSupportLog(const SetupContext *context, int exitCode)
{
    CountedString path = NULL;
    CountedString run = NULL;
    // The tool runs elevated: it writes only a plain absolute path, never the current folder's.
    // The name goes right after the folder's own separator: "C:" gives no path of its own.
    bool ok = Assign(&path, StringText(context->moduleDir)) && Append(&path, SUPPORT_LOG_NAME) &&
              IsPlainAbsolutePath(StringText(path)) && BuildRunText(&run, context, exitCode) &&
              StoreInOwnFile(StringText(path), run, true);
    FreeString(&run);
    FreeString(&path);
    return ok;
}
