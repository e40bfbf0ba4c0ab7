// The Windows Installer package's custom action: runs setup.exe from the installed folder and
// turns its exit code into the package's outcome.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "action_data.h"
#include "counted_string.h"
#include "services/file_copy.h"
#include "setup_log.h"
#include "support_log.h"

// The command words the package may ask for, with the exit code of a clean run of each and
// what the run is for.
enum SetupPurpose { SETUP_INSTALLS, SETUP_REMOVES, SETUP_STOPS_TRAY };

struct SetupCommand {
    const WCHAR *word;
    DWORD doneCode;
    SetupPurpose purpose;
};

static const SetupCommand SETUP_COMMANDS[] = {
    {L"install", 1, SETUP_INSTALLS},
    {L"in_notray", 1, SETUP_INSTALLS},
    {L"uninstall", 2, SETUP_REMOVES},
    // The removal of a version that a major upgrade replaces only stops the tray companion, so
    // that its program file can be removed without a reboot; the new version starts it again.
    {L"removetray", 6, SETUP_STOPS_TRAY},
};
static const SetupCommand *STOP_TRAY_COMMAND = &SETUP_COMMANDS[3];

static const DWORD SETUP_ERRORS_REPORTED = 100;
static const DWORD SETUP_REBOOT_NEEDED = 101;
static const WCHAR SETUP_FILE_NAME[] = L"setup.exe";
// The action's data separates its fields with a character no path holds.
static const WCHAR DATA_SEPARATOR = L'|';
// The old versions that a major upgrade is replacing, for their removal to see: Windows tells it
// through UPGRADINGPRODUCTCODE, but an installer that does not (Wine's) runs it as a plain
// removal. A volatile key, so no reboot leaves it behind, directly below SOFTWARE: the keys
// that creating it makes would be volatile too, and no lasting key could be made below them.
static const WCHAR UPGRADE_KEY[] = L"SOFTWARE\\Zentavo Upgrade";
static const WCHAR UPGRADE_VALUE[] = L"Replacing";
// The process that wrote the upgrade key, its id and creation time: the key speaks for an
// upgrade only while that installer still runs.
static const WCHAR UPGRADE_WRITER_VALUE[] = L"Installer";
// The products whose setup.exe run asked for a reboot, one value named by each product code: a
// deferred action may not ask Windows Installer for it, so the run after the script does.
static const WCHAR REBOOT_KEY[] = L"SOFTWARE\\Zentavo Reboot";
// The support log is capped by the tool; a larger file is not its own, and only its end is read.
static const DWORD SUPPORT_LOG_READ_BYTES = 2 * SUPPORT_LOG_MAX_BYTES;

void LogMessage(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text);
    MsiProcessMessage(install, kind, record);
    MsiCloseHandle(record);
}

// A formatted line of at most LOG_LINE_CHARS characters into the Windows Installer log.
static void Report(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *format, ...)
{
    WCHAR text[LOG_LINE_CHARS];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, LOG_LINE_CHARS, format, args);
    va_end(args);
    text[LOG_LINE_CHARS - 1] = 0;
    LogMessage(install, kind, text);
}

bool ReadActionData(MSIHANDLE install, CountedString *data)
{
    WCHAR empty[1] = L"";
    DWORD length = 0;
    UINT status = MsiGetPropertyW(install, L"CustomActionData", empty, &length);
    if (status == ERROR_SUCCESS || (status == ERROR_MORE_DATA && length == 0))
        return Assign(data, L"");
    if (status != ERROR_MORE_DATA || !SetLength(data, length))
        return false;
    length++;
    if (MsiGetPropertyW(install, L"CustomActionData", (*data)->text, &length) != ERROR_SUCCESS)
        return false;
    return SetLength(data, length);
}

static const SetupCommand *FindCommand(const WCHAR *word, size_t length)
{
    for (size_t i = 0; i < sizeof(SETUP_COMMANDS) / sizeof(SETUP_COMMANDS[0]); i++) {
        if (wcslen(SETUP_COMMANDS[i].word) == length &&
            wcsncmp(SETUP_COMMANDS[i].word, word, length) == 0)
            return &SETUP_COMMANDS[i];
    }
    return NULL;
}

// "WORD|PRODUCTCODE|FOLDER": the command word, the package's product code and the absolute
// folder of setup.exe. Sets the command, the product code and the folder with a closing
// backslash.
static bool SplitActionData(const WCHAR *data, const SetupCommand **command,
                            CountedString *productCode, CountedString *folder)
{
    const WCHAR *separator = wcschr(data, DATA_SEPARATOR);
    const WCHAR *codeEnd = separator ? wcschr(separator + 1, DATA_SEPARATOR) : NULL;
    if (!codeEnd)
        return false;
    *command = FindCommand(data, (size_t)(separator - data));
    const WCHAR *path = codeEnd + 1;
    if (!*command || !Assign(folder, path) || StringLength(*folder) == 0 ||
        !Assign(productCode, L"") ||
        !AppendCount(productCode, separator + 1, (size_t)(codeEnd - separator - 1)))
        return false;
    size_t length = StringLength(*folder);
    if ((*folder)->text[length - 1] != L'\\' && !Append(folder, L"\\"))
        return false;
    // Only the installed folder, by the rule the tool itself writes and starts by: a relative
    // one would be looked up from wherever the installer happens to run.
    CountedString setup = NULL;
    bool plain = Assign(&setup, StringText(*folder)) && Append(&setup, SETUP_FILE_NAME) &&
                 IsPlainAbsolutePath(StringText(setup));
    FreeString(&setup);
    return plain;
}

static bool GetLastWrite(const WCHAR *path, FILETIME *time)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    *time = data.ftLastWriteTime;
    return true;
}

// Reads the end of the support log into a heap block the caller frees; null when it cannot.
static char *ReadLogTail(const WCHAR *path, DWORD *bytes)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    char *text = NULL;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        DWORD wanted =
            size.QuadPart > SUPPORT_LOG_READ_BYTES ? SUPPORT_LOG_READ_BYTES : (DWORD)size.QuadPart;
        LARGE_INTEGER offset;
        offset.QuadPart = size.QuadPart - wanted;
        text = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, wanted));
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

// The end of the line that starts at `line`: its line feed, or `end`.
static const WCHAR *LineEnd(const WCHAR *line, const WCHAR *end)
{
    while (line < end && *line != L'\n')
        line++;
    return line;
}

// A run's first line: the mark and the date of its start.
static bool IsRunHeader(const WCHAR *line, size_t length)
{
    size_t markLength = wcslen(SUPPORT_LOG_MARK);
    return length > markLength && wcsncmp(line, SUPPORT_LOG_MARK, markLength) == 0 &&
           line[markLength] >= L'0' && line[markLength] <= L'9';
}

// Copies the last run of the support log into the installer's log, line by line, when that run
// is the one that just ended with `exitCode` (the file was written since `before`).
static void CopyLastRun(MSIHANDLE install, const WCHAR *logPath, const FILETIME *before,
                        bool hadLog, DWORD exitCode)
{
    FILETIME after;
    DWORD bytes = 0;
    char *utf8 = NULL;
    CountedString text = NULL;
    bool written =
        GetLastWrite(logPath, &after) && (!hadLog || CompareFileTime(before, &after) != 0);
    if (written)
        utf8 = ReadLogTail(logPath, &bytes);
    int length = utf8 ? MultiByteToWideChar(CP_UTF8, 0, utf8, (int)bytes, NULL, 0) : 0;
    if (length > 0 && SetLength(&text, (size_t)length))
        MultiByteToWideChar(CP_UTF8, 0, utf8, (int)bytes, text->text, length);
    if (utf8)
        HeapFree(GetProcessHeap(), 0, utf8);

    // The lines of the last run: from the last header to the end.
    const WCHAR *start = StringText(text);
    const WCHAR *end = start + StringLength(text);
    if (start < end && *start == 0xFEFF)
        start++;
    const WCHAR *run = NULL;
    for (const WCHAR *line = start; line < end;) {
        const WCHAR *lineEnd = LineEnd(line, end);
        if (IsRunHeader(line, (size_t)(lineEnd - line)))
            run = line;
        line = lineEnd + 1;
    }
    WCHAR exitLine[64];
    _snwprintf(exitLine, 64, L"%sexit code %lu\r\n", SUPPORT_LOG_MARK, exitCode);
    exitLine[63] = 0;
    size_t exitLength = wcslen(exitLine);
    bool ours = run && (size_t)(end - run) >= exitLength &&
                wcsncmp(end - exitLength, exitLine, exitLength) == 0;
    if (!ours) {
        Report(install, INSTALLMESSAGE_INFO, L"The log of this run is not in %s.", logPath);
        FreeString(&text);
        return;
    }
    Report(install, INSTALLMESSAGE_INFO, L"%s, this run:", logPath);
    CountedString line = NULL;
    while (run < end) {
        const WCHAR *lineEnd = LineEnd(run, end);
        size_t count = (size_t)(lineEnd - run);
        if (count > 0 && run[count - 1] == L'\r')
            count--;
        if (Assign(&line, L"") && AppendCount(&line, run, count))
            LogMessage(install, INSTALLMESSAGE_INFO, StringText(line));
        run = lineEnd + 1;
    }
    FreeString(&line);
    FreeString(&text);
}

// Notes in the reboot key that the product's run needs a reboot, for RequestReboot to ask for
// it once the script has ended.
static void NoteRebootNeeded(MSIHANDLE install, const WCHAR *productCode)
{
    HKEY key;
    DWORD needed = 1;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, NULL, REG_OPTION_VOLATILE,
                                  KEY_SET_VALUE, NULL, &key, NULL);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, productCode, 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&needed), sizeof(needed));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        Report(install, INSTALLMESSAGE_INFO,
               L"The reboot that %s needs cannot be noted (error %ld): reboot after the install.",
               productCode, status);
}

// Runs setup.exe with the command's word and waits for it. The tool bounds its own waits; only
// its log window waits for a person, and the package must not go on (or roll back) while the
// tool still works on the spooler, so the wait has no bound of its own.
static UINT RunSetup(MSIHANDLE install, const SetupCommand *command, const WCHAR *productCode,
                     const WCHAR *folder)
{
    CountedString path = NULL;
    CountedString commandLine = NULL;
    CountedString logPath = NULL;
    UINT result = ERROR_INSTALL_FAILURE;
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    DWORD exitCode = 0;
    FILETIME before = {0, 0};
    bool hadLog = false;
    if (!Assign(&path, folder) || !Append(&path, SETUP_FILE_NAME) || !Assign(&logPath, folder) ||
        !Append(&logPath, SUPPORT_LOG_NAME) || !Assign(&commandLine, L"\"") ||
        !Append(&commandLine, StringText(path)) || !Append(&commandLine, L"\" ") ||
        !Append(&commandLine, command->word)) {
        Report(install, REPORT_FAILURE, L"setup.exe %s was not started: out of memory.",
               command->word);
        goto done;
    }
    hadLog = GetLastWrite(StringText(logPath), &before);

    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ZeroMemory(&process, sizeof(process));
    Report(install, INSTALLMESSAGE_INFO, L"Running %s", StringText(commandLine));
    if (!CreateProcessW(StringText(path), commandLine->text, NULL, NULL, FALSE, 0, NULL, NULL,
                        &startup, &process)) {
        DWORD error = GetLastError();
        WCHAR *message = SystemMessageText(error);
        Report(install, REPORT_FAILURE, L"%s could not be started: %s (error %lu).",
               StringText(path), message ? message : L"no description", error);
        if (message)
            LocalFree(message);
        goto done;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
        Report(install, REPORT_FAILURE, L"The exit code of %s is unknown (error %lu).",
               StringText(path), GetLastError());
        CloseHandle(process.hProcess);
        goto done;
    }
    CloseHandle(process.hProcess);
    Report(install, INSTALLMESSAGE_INFO, L"setup.exe %s ended with code %lu.", command->word,
           exitCode);

    if (exitCode == command->doneCode) {
        result = ERROR_SUCCESS;
    } else if (exitCode == SETUP_REBOOT_NEEDED) {
        Report(install, INSTALLMESSAGE_INFO,
               L"Files of the product are removed at the next reboot.");
        NoteRebootNeeded(install, productCode);
        result = ERROR_SUCCESS;
    } else if (exitCode == SETUP_ERRORS_REPORTED) {
        Report(install, REPORT_FAILURE, L"setup.exe %s reported errors; its log follows.",
               command->word);
        CopyLastRun(install, StringText(logPath), &before, hadLog, exitCode);
    } else {
        Report(install, REPORT_FAILURE, L"setup.exe %s ended with the unexpected code %lu.",
               command->word, exitCode);
    }
    // The removed product leaves no log behind; a failed removal keeps it for support.
    if (result == ERROR_SUCCESS && command->purpose == SETUP_REMOVES)
        DeleteOwnFile(StringText(logPath));
done:
    FreeString(&commandLine);
    FreeString(&logPath);
    FreeString(&path);
    return result;
}

// The process that runs this action: its id and creation time, which no later process shares.
struct InstallerProcess {
    DWORD id;
    FILETIME created;
};

static bool CurrentInstaller(InstallerProcess *writer)
{
    FILETIME unused[3];
    writer->id = GetCurrentProcessId();
    return GetProcessTimes(GetCurrentProcess(), &writer->created, &unused[0], &unused[1],
                           &unused[2]) != 0;
}

// Whether the installer that wrote the upgrade key still runs: the same id and creation time.
static bool WriterStillRuns(const InstallerProcess *writer)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, writer->id);
    if (!process)
        return false;
    FILETIME created, unused[3];
    DWORD exitCode = 0;
    bool runs = GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2]) &&
                CompareFileTime(&created, &writer->created) == 0 &&
                GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}

// Whether a major upgrade is replacing the product `productCode` now: its code is in the
// upgrade key's list and the installer that wrote the key still runs. The code is taken out of
// the list, which is used once; a key that speaks for no running upgrade is deleted unused.
static bool IsBeingReplaced(MSIHANDLE install, const WCHAR *productCode)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UPGRADE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    WCHAR list[1024];
    InstallerProcess writer;
    DWORD bytes = (DWORD)(sizeof(list) - sizeof(WCHAR));
    DWORD writerBytes = sizeof(writer);
    DWORD type = 0;
    bool current =
        RegQueryValueExW(key, UPGRADE_WRITER_VALUE, NULL, &type, reinterpret_cast<BYTE *>(&writer),
                         &writerBytes) == ERROR_SUCCESS &&
        type == REG_BINARY && writerBytes == sizeof(writer) && WriterStillRuns(&writer) &&
        RegQueryValueExW(key, UPGRADE_VALUE, NULL, &type, reinterpret_cast<BYTE *>(list), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_SZ;
    if (!current) {
        RegCloseKey(key);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
        Report(install, INSTALLMESSAGE_INFO,
               L"The upgrade key names no upgrade that runs now: it is removed and ignored.");
        return false;
    }
    list[bytes / sizeof(WCHAR)] = 0;
    size_t length = wcslen(productCode);
    bool listed = false;
    for (WCHAR *code = list; length > 0 && *code;) {
        WCHAR *end = wcschr(code, L';');
        size_t count = end ? (size_t)(end - code) : wcslen(code);
        if (count == length && _wcsnicmp(code, productCode, length) == 0) {
            // The rest of the list, with its terminator, takes the code's place.
            WCHAR *rest = end ? end + 1 : code + count;
            memmove(code, rest, (wcslen(rest) + 1) * sizeof(WCHAR));
            listed = true;
            break;
        }
        code += count + (end ? 1 : 0);
    }
    size_t left = wcslen(list);
    if (listed && left > 0 && list[left - 1] == L';')
        list[--left] = 0;
    if (listed && left > 0)
        RegSetValueExW(key, UPGRADE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(list),
                       (DWORD)((left + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    if (listed && left == 0)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
    return listed;
}

// Immediate, before the old versions are removed: lists them in the upgrade key, with this
// installer as its writer. Failing to write it only leaves their removal to
// UPGRADINGPRODUCTCODE.
extern "C" UINT __stdcall MarkUpgrade(MSIHANDLE install)
{
    WCHAR codes[1024];
    DWORD length = sizeof(codes) / sizeof(codes[0]);
    if (MsiGetPropertyW(install, L"WIX_UPGRADE_DETECTED", codes, &length) != ERROR_SUCCESS ||
        length == 0)
        return ERROR_SUCCESS;
    InstallerProcess writer;
    HKEY key;
    if (!CurrentInstaller(&writer) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, UPGRADE_KEY, 0, NULL, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS) {
        Report(install, INSTALLMESSAGE_INFO, L"The versions being replaced cannot be noted (%s).",
               codes);
        return ERROR_SUCCESS;
    }
    RegSetValueExW(key, UPGRADE_WRITER_VALUE, 0, REG_BINARY,
                   reinterpret_cast<const BYTE *>(&writer), sizeof(writer));
    RegSetValueExW(key, UPGRADE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(codes),
                   (DWORD)((length + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

// Rollback of an upgrade: its key must not outlive it, or a later removal of the version it
// named would leave the printing components behind.
extern "C" UINT __stdcall UnmarkUpgrade(MSIHANDLE)
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
    return ERROR_SUCCESS;
}

// Immediate, after the script has ended: asks for the reboot that the product's setup.exe run
// noted, and takes the note out.
extern "C" UINT __stdcall RequestReboot(MSIHANDLE install)
{
    WCHAR productCode[64];
    DWORD length = sizeof(productCode) / sizeof(productCode[0]);
    if (MsiGetPropertyW(install, L"ProductCode", productCode, &length) != ERROR_SUCCESS ||
        length == 0)
        return ERROR_SUCCESS;
    // An immediate action runs as the installing user, who may read the note but not delete it
    // (a per-machine install with elevated privileges): the reboot is asked for all the same.
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    bool needed = RegQueryValueExW(key, productCode, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegDeleteValueW(key, productCode);
    DWORD others = 1;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &others, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (others == 0)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, REBOOT_KEY);
    if (needed) {
        Report(install, INSTALLMESSAGE_INFO, L"A reboot finishes the install.");
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    }
    return ERROR_SUCCESS;
}

// The deferred action of install and removal. Its data is "WORD|PRODUCTCODE|FOLDER" (see
// SplitActionData). The removal of a version that a major upgrade replaces runs setup.exe
// removetray instead of uninstall (which would delete the user's printers, which the new
// version's install keeps); whatever comes of it, the upgrade goes on.
extern "C" UINT __stdcall RunSetupTool(MSIHANDLE install)
{
    CountedString data = NULL;
    CountedString productCode = NULL;
    CountedString folder = NULL;
    const SetupCommand *command = NULL;
    UINT result = ERROR_INSTALL_FAILURE;
    if (!ReadActionData(install, &data)) {
        Report(install, REPORT_FAILURE,
               L"setup.exe was not started: the action's data cannot be read.");
    } else if (!SplitActionData(StringText(data), &command, &productCode, &folder)) {
        Report(install, REPORT_FAILURE,
               L"setup.exe was not started: the action's data \"%s\" names no "
               L"command, product and absolute folder.",
               StringText(data));
    } else if (command->purpose == SETUP_STOPS_TRAY ||
               (command->purpose == SETUP_REMOVES &&
                IsBeingReplaced(install, StringText(productCode)))) {
        Report(install, INSTALLMESSAGE_INFO,
               L"A new version replaces %s: setup.exe uninstall is not run.",
               StringText(productCode));
        RunSetup(install, STOP_TRAY_COMMAND, StringText(productCode), StringText(folder));
        result = ERROR_SUCCESS;
    } else {
        if (command->purpose == SETUP_INSTALLS)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
        result = RunSetup(install, command, StringText(productCode), StringText(folder));
    }
    FreeString(&folder);
    FreeString(&productCode);
    FreeString(&data);
    return result;
}
