// Reads the support log's last run, by the tool's own rule for where a run starts.
#include "last_run.h"

#include <stdio.h>
#include <string.h>

#include "action_data.h"
#include "counted_string.h"
#include "support_log.h"

static const BYTE UTF8_BOM[] = {0xEF, 0xBB, 0xBF};
// The support log is capped by the tool; a larger file is not its own, and only its end is read.
static const DWORD SUPPORT_LOG_READ_BYTES = 2 * SUPPORT_LOG_MAX_BYTES;

static bool GetLastWrite(const WCHAR *path, FILETIME *time)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    *time = data.ftLastWriteTime;
    return true;
}

void NoteSupportLogState(const WCHAR *logPath, SupportLogState *state)
{
    state->written.dwLowDateTime = 0;
    state->written.dwHighDateTime = 0;
    state->existed = GetLastWrite(logPath, &state->written);
}

// Reads the end of the support log into a heap block the caller frees; null when it cannot.
static BYTE *ReadLogTail(const WCHAR *path, DWORD *bytes)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    BYTE *text = NULL;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        DWORD wanted =
            size.QuadPart > SUPPORT_LOG_READ_BYTES ? SUPPORT_LOG_READ_BYTES : (DWORD)size.QuadPart;
        LARGE_INTEGER offset;
        offset.QuadPart = size.QuadPart - wanted;
        text = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, wanted));
        DWORD read = 0;
        if (text && (!SetFilePointerEx(file, offset, NULL, FILE_BEGIN) ||
                     !ReadFile(file, text, wanted, &read, NULL) || read != wanted)) {
            HeapFree(GetProcessHeap(), 0, text);
            text = NULL;
        }
        *bytes = wanted;
    }
    CloseHandle(file);
    return text;
}

bool ReadLastRun(const WCHAR *logPath, CountedString *run)
{
    DWORD bytes = 0;
    BYTE *tail = ReadLogTail(logPath, &bytes);
    if (!tail)
        return false;
    DWORD first = bytes >= sizeof(UTF8_BOM) && memcmp(tail, UTF8_BOM, sizeof(UTF8_BOM)) == 0
                      ? (DWORD)sizeof(UTF8_BOM)
                      : 0;
    DWORD start = bytes;
    for (DWORD at = first; at < bytes; at++) {
        if ((at == first || tail[at - 1] == '\n') && IsSupportLogRunHeader(tail, at, bytes))
            start = at;
    }
    const char *utf8 = reinterpret_cast<const char *>(tail + start);
    int count = (int)(bytes - start);
    int length = count > 0 ? MultiByteToWideChar(CP_UTF8, 0, utf8, count, NULL, 0) : 0;
    bool read = length > 0 && SetLength(run, (size_t)length) &&
                MultiByteToWideChar(CP_UTF8, 0, utf8, count, (*run)->text, length) == length;
    HeapFree(GetProcessHeap(), 0, tail);
    return read;
}

// Each line of `text` (LF or CR LF ends) as a line of the installer's log.
static void LogLines(MSIHANDLE install, const WCHAR *text, const WCHAR *end)
{
    CountedString line = NULL;
    while (text < end) {
        const WCHAR *lineEnd = text;
        while (lineEnd < end && *lineEnd != L'\n')
            lineEnd++;
        size_t count = (size_t)(lineEnd - text);
        if (count > 0 && text[count - 1] == L'\r')
            count--;
        if (Assign(&line, L"") && AppendCount(&line, text, count))
            LogMessage(install, INSTALLMESSAGE_INFO, StringText(line));
        text = lineEnd + 1;
    }
    FreeString(&line);
}

void CopyLastRun(MSIHANDLE install, const WCHAR *logPath, const SupportLogState *before,
                 DWORD exitCode)
{
    FILETIME after;
    CountedString run = NULL;
    WCHAR exitLine[64];
    _snwprintf(exitLine, 64, L"%sexit code %lu\r\n", SUPPORT_LOG_MARK, exitCode);
    exitLine[63] = 0;
    size_t exitLength = wcslen(exitLine);
    bool ours =
        GetLastWrite(logPath, &after) &&
        (!before->existed || CompareFileTime(&before->written, &after) != 0) &&
        ReadLastRun(logPath, &run) && StringLength(run) >= exitLength &&
        wcsncmp(StringText(run) + StringLength(run) - exitLength, exitLine, exitLength) == 0;
    if (ours) {
        Report(install, INSTALLMESSAGE_INFO, L"%s, this run:", logPath);
        LogLines(install, StringText(run), StringText(run) + StringLength(run));
    } else {
        Report(install, INSTALLMESSAGE_INFO, L"The log of this run is not in %s.", logPath);
    }
    FreeString(&run);
}
