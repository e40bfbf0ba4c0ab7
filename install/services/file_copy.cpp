// Copying product files into place, and the files left to delete later.
#include "file_copy.h"
#include "file_copy_internal.h"

#include <string.h>
#include <wchar.h>

#include "counted_string.h"
#include "paths.h"
#include "setup_log.h"
#include "setup_record.h"

// One buffer of this size carries the whole copy; the product files are small.
static const DWORD COPY_BUFFER_BYTES = 8192;
// The spooler lets go of a file it just closed within moments: 100 attempts 50 ms apart
// (about 5 s), and never longer than 10 s by the clock when the opens themselves are slow.
static const int OPEN_ATTEMPTS = 100;
static const DWORD OPEN_RETRY_MS = 50;
static const DWORD OPEN_TIMEOUT_MS = 10000;

BOOL DeleteOwnFile(const WCHAR *path)
{
    if (!IsPlainAbsolutePath(path)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    return DeleteFileW(path);
}

// Copies everything from `source` to `destination`; false when a read fails or a write falls
// short, since either leaves the destination incomplete.
static bool CopyContents(HANDLE source, HANDLE destination)
{
    BYTE buffer[COPY_BUFFER_BYTES];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source, buffer, COPY_BUFFER_BYTES, &read, NULL))
            return false;
        if (read > 0) {
            DWORD written = 0;
            if (!WriteFile(destination, buffer, read, &written, NULL))
                return false;
            // A short write leaves no reason of its own; the report must not show a stale one.
            if (written < read) {
                SetLastError(ERROR_WRITE_FAULT);
                return false;
            }
        }
        if (read < COPY_BUFFER_BYTES)
            return true;
    }
}

// The callers keep using the destination path: one cut to fit would name a different file.
static bool HandOutPath(CountedString destPath, WCHAR *outPath)
{
    if (StringLength(destPath) >= SETUP_PATH_BUFFER) {
        outPath[0] = 0;
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(outPath, StringText(destPath), (StringLength(destPath) + 1) * sizeof(WCHAR));
    return true;
}

// Without the tool's own folder a bare name would open whatever lies in the current folder.
static HANDLE OpenSource(const SetupContext *context, CountedString sourcePath)
{
    if (StringLength(context->moduleDir) == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(StringText(sourcePath), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       0, NULL);
}

// Without its directory the destination is a bare name in whatever the current folder is.
static HANDLE OpenDestination(SetupContext *context, CountedString destPath)
{
    if (!IsPlainAbsolutePath(StringText(destPath))) {
        SetLastError(ERROR_BAD_PATHNAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileWithRetry(context, StringText(destPath));
}

static void ReportDestination(SetupContext *context, CountedString destPath, bool reportErrors)
{
    if (reportErrors)
        LogError(context, ERR_OPEN_DESTINATION, L"Cant't open destination file: %s",
                 StringText(destPath));
}

bool CopyProductFile(SetupContext *context, const WCHAR *destDir, const WCHAR *fileName,
                     WCHAR *outPath, bool reportErrors)
{
    LogLine(context, L">CopyFile %s to %s [%d])", fileName, destDir, reportErrors ? 1 : 0);
    LogSection section(context);
    bool ok = false;
    CountedString sourcePath = NULL;
    CountedString destPath = NULL;
    HANDLE source = INVALID_HANDLE_VALUE;
    HANDLE destination = INVALID_HANDLE_VALUE;

    if (!JoinPath(&sourcePath, StringText(context->moduleDir), fileName) ||
        !JoinPath(&destPath, destDir, fileName)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        ReportDestination(context, destPath, reportErrors);
        goto done;
    }
    if (outPath && !HandOutPath(destPath, outPath)) {
        ReportDestination(context, destPath, reportErrors);
        goto done;
    }
    source = OpenSource(context, sourcePath);
    if (source == INVALID_HANDLE_VALUE) {
        if (reportErrors)
            LogError(context, ERR_OPEN_SOURCE, L"Cant't open source file: %s", fileName);
        goto done;
    }
    destination = OpenDestination(context, destPath);
    if (destination == INVALID_HANDLE_VALUE) {
        ReportDestination(context, destPath, reportErrors);
        goto done;
    }
    if (!CopyContents(source, destination)) {
        LogError(context, ERR_COPY_FILE, L"CopyFile(..,%s)", StringText(destPath));
        // A truncated DLL must not stay behind for the spooler to load.
        CloseHandle(destination);
        destination = INVALID_HANDLE_VALUE;
        DeleteOwnFile(StringText(destPath));
        goto done;
    }
    ok = true;

done:
    if (destination != INVALID_HANDLE_VALUE)
        CloseHandle(destination);
    if (source != INVALID_HANDLE_VALUE)
        CloseHandle(source);
    FreeString(&destPath);
    FreeString(&sourcePath);
    LogLine(context, ok ? L"Copy Succeeded :)" : L"Copy Failed :(");
    return ok;
}

HANDLE CreateFileWithRetry(SetupContext *context, const WCHAR *path)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD start = GetTickCount();
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; attempt++) {
        file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE)
            break;
        // Unsigned difference: a wrap of the tick counter does no harm.
        if (GetTickCount() - start > OPEN_TIMEOUT_MS) {
            LogLine(context, L"CreateFile - timeout");
            break;
        }
        Sleep(OPEN_RETRY_MS);
    }
    return file;
}

WCHAR *DuplicateWideString(const WCHAR *text)
{
    if (!text || !text[0])
        return NULL;
    size_t bytes = (wcslen(text) + 1) * sizeof(WCHAR);
    WCHAR *copy = static_cast<WCHAR *>(GlobalAlloc(GPTR, bytes));
    if (copy)
        memcpy(copy, text, bytes);
    return copy;
}

bool AddPendingDelete(PendingDelete **head, const WCHAR *path)
{
    if (!IsPlainAbsolutePath(path))
        return false;
    for (PendingDelete *node = *head; node; node = node->next) {
        if (wcscmp(node->path, path) == 0)
            return true;
    }
    // A path that cannot be copied is not listed: the list never holds an empty entry.
    WCHAR *copy = DuplicateWideString(path);
    PendingDelete *node =
        copy ? static_cast<PendingDelete *>(GlobalAlloc(GPTR, sizeof(PendingDelete))) : NULL;
    if (!node) {
        if (copy)
            GlobalFree(copy);
        return false;
    }
    node->path = copy;
    node->next = *head;
    *head = node;
    return true;
}

void FreePendingDeleteList(PendingDelete *node)
{
    while (node) {
        PendingDelete *next = node->next;
        if (node->path)
            GlobalFree(node->path);
        GlobalFree(node);
        node = next;
    }
}

bool RetryPendingDeletes(SetupContext *context)
{
    LogLine(context, L"DeleteFile-try");
    PendingDelete *kept = NULL;
    PendingDelete *node = context->pendingDeletes;
    while (node) {
        PendingDelete *next = node->next;
        // A missing folder is no proof that the file is gone: such entries stay listed.
        if (DeleteOwnFile(node->path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (kept)
                kept->next = next;
            else
                context->pendingDeletes = next;
            GlobalFree(node->path);
            GlobalFree(node);
        } else {
            kept = node;
        }
        node = next;
    }
    return context->pendingDeletes == NULL;
}

DWORD ScheduleDeletesAtReboot(SetupContext *context)
{
    DWORD scheduled = 0;
    for (PendingDelete *node = context->pendingDeletes; node; node = node->next) {
        if (MoveFileExW(node->path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
            scheduled++;
    }
    FreePendingDeleteList(context->pendingDeletes);
    context->pendingDeletes = NULL;
    return scheduled;
}
