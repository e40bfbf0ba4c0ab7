// The installer program's calls for its own log: lines appended by setup.log's file rules, and
// the error reports of the tool's last run, for its message and its log.
#include <windows.h>
#include <sddl.h>

#include <stdio.h>
#include <string.h>

#include "counted_string.h"
#include "last_run.h"
#include "paths.h"
#include "services/folder_security.h"
#include "support_log.h"

enum InstallerLogOutcome {
    INSTALLER_LOG_WRITTEN = 0,
    INSTALLER_LOG_REFUSED = 1,   // a link, a file or folder others can change, no plain path
    INSTALLER_LOG_FAILED = 2,    // it could not be made, opened or written
    INSTALLER_LOG_NO_FOLDER = 3, // its folder does not exist (yet)
};

// A log made by the installer: Administrators own it; LocalSystem and Administrators may change
// it, Users read it; nothing inherited from a folder others may be able to change.
static const WCHAR LOG_DESCRIPTOR[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";
static const WCHAR ERROR_MARK[] = L"Error(";
static const WCHAR ERRORS_EXIT_LINE[] = L"=== exit code 100";
static const size_t STAMP_CHARS = 32;
// A file's write time comes from a coarser clock than the caller's moment and can read a little
// earlier; a run of the tool takes longer than this, and an older run is older by far.
static const ULONGLONG WRITE_TIME_SLACK = 2ULL * 10000000ULL;

static bool IsFolder(const WCHAR *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Makes the file with the installer's own access list, or checks the one there: an existing file
// that others can change may be read, or replaced, by them.
static UINT MakeOrCheckLogFile(const WCHAR *path)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOG_DESCRIPTOR, SDDL_REVISION_1,
                                                              &descriptor, NULL))
        return INSTALLER_LOG_FAILED;
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &security, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return INSTALLER_LOG_WRITTEN;
    }
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
        return INSTALLER_LOG_FAILED;
    WCHAR who[320];
    return ExamineFolder(path, who, 320) == FOLDER_TRUSTED ? INSTALLER_LOG_WRITTEN
                                                           : INSTALLER_LOG_REFUSED;
}

// Each CR LF line of `text` behind the local time.
static bool StampLines(CountedString *stamped, const WCHAR *text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR stamp[STAMP_CHARS];
    _snwprintf(stamp, STAMP_CHARS, L"%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond);
    stamp[STAMP_CHARS - 1] = 0;
    bool ok = Assign(stamped, L"");
    while (ok && *text) {
        const WCHAR *end = wcsstr(text, L"\r\n");
        size_t count = end ? (size_t)(end - text) : wcslen(text);
        ok =
            Append(stamped, stamp) && AppendCount(stamped, text, count) && Append(stamped, L"\r\n");
        text += count + (end ? 2 : 0);
    }
    return ok;
}

// Appends the CR LF lines of `text`, each behind the local time, to the log at `path`. With
// `supportLog` the file is setup.log in the product's folder: written only while that folder and
// the one above pass the tool's own check, and kept within its cap. Otherwise it is the log that
// /LOG= names, wherever the caller chose; it only grows. An InstallerLogOutcome.
extern "C" UINT __stdcall AppendInstallerLog(const WCHAR *path, const WCHAR *text, UINT supportLog)
{
    if (!path || !text)
        return INSTALLER_LOG_FAILED;
    if (!IsPlainAbsolutePath(path))
        return INSTALLER_LOG_REFUSED;
    CountedString file = NULL, folder = NULL, stamped = NULL;
    UINT outcome = INSTALLER_LOG_FAILED;
    if (!Assign(&file, path))
        goto done;
    ParentDirectory(&folder, file);
    if (!StringLength(folder) || !IsFolder(StringText(folder))) {
        outcome = INSTALLER_LOG_NO_FOLDER;
        goto done;
    }
    if (supportLog && !FolderAndParentTrusted(StringText(folder))) {
        outcome = INSTALLER_LOG_REFUSED;
        goto done;
    }
    outcome = MakeOrCheckLogFile(path);
    if (outcome != INSTALLER_LOG_WRITTEN)
        goto done;
    outcome =
        StampLines(&stamped, text) && AppendToOwnFile(path, StringText(stamped), supportLog != 0)
            ? INSTALLER_LOG_WRITTEN
            : INSTALLER_LOG_FAILED;
done:
    FreeString(&stamped);
    FreeString(&folder);
    FreeString(&file);
    return outcome;
}

// The error reports of setup.log's last run, one a line (CR LF between them) and without their
// indentation, into `errors` (cut to `chars` characters): only when that run was written at or
// after `since` (a FILETIME, as a number) and ended with the errors' exit code. Their count.
extern "C" UINT __stdcall LastRunErrors(const WCHAR *logPath, ULONGLONG since, WCHAR *errors,
                                        DWORD chars)
{
    if (!logPath || !errors || chars == 0)
        return 0;
    errors[0] = 0;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(logPath, GetFileExInfoStandard, &data))
        return 0;
    ULARGE_INTEGER written;
    written.LowPart = data.ftLastWriteTime.dwLowDateTime;
    written.HighPart = data.ftLastWriteTime.dwHighDateTime;
    CountedString run = NULL, found = NULL;
    UINT count = 0;
    bool ended = false;
    if (written.QuadPart + WRITE_TIME_SLACK >= since && ReadLastRun(logPath, &run)) {
        // After the run's header, the only line that starts with the mark is its end.
        const WCHAR *line = wcschr(StringText(run), L'\n');
        line = line ? line + 1 : L"";
        while (*line && !ended) {
            const WCHAR *end = wcschr(line, L'\n');
            size_t length = end ? (size_t)(end - line) : wcslen(line);
            size_t text = length > 0 && line[length - 1] == L'\r' ? length - 1 : length;
            size_t exitChars = wcslen(ERRORS_EXIT_LINE);
            if (text >= 4 && wcsncmp(line, SUPPORT_LOG_MARK, 4) == 0) {
                // Only the errors' code makes the reports this run's failure.
                ended = true;
                if (text != exitChars || wcsncmp(line, ERRORS_EXIT_LINE, exitChars) != 0)
                    count = 0;
                break;
            }
            size_t indent = 0;
            while (indent < text && line[indent] == L' ')
                indent++;
            if (text - indent >= 6 && wcsncmp(line + indent, ERROR_MARK, 6) == 0 &&
                (count == 0 || Append(&found, L"\r\n")) &&
                AppendCount(&found, line + indent, text - indent))
                count++;
            line += length + (end ? 1 : 0);
        }
    }
    if (!ended)
        count = 0;
    if (count) {
        wcsncpy(errors, StringText(found), chars);
        errors[chars - 1] = 0;
    }
    FreeString(&found);
    FreeString(&run);
    return count;
}
