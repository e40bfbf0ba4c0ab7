// Product printer queues and the settings kept across a reinstall.
#include "printer_queues.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "printer_queues_internal.h"
#include "printing/kept_printers.h"
#include "setup_log.h"
#include "setup_record.h"
#include "services/spooler_queries.h"

static const DWORD DELETE_PRINTER_ACCESS = DELETE | PRINTER_ACCESS_ADMINISTER;

void FreeKeptSettingsList(KeptSetting *entry)
{
    while (entry) {
        KeptSetting *next = entry->next;
        if (entry->subKeyValue)
            GlobalFree(entry->subKeyValue);
        if (entry->recordBlock)
            GlobalFree(entry->recordBlock);
        GlobalFree(entry);
        entry = next;
    }
}

bool MarkDefaultPrinter(SetupContext *context)
{
    RefreshPrinterList(&context->printers);
    WCHAR name[SNAPSHOT_DEFAULT_NAME_CHARS] = {};
    DWORD size = SNAPSHOT_DEFAULT_NAME_CHARS;
    if (!QueryDefaultPrinter(name, &size) || !context->printers.buffer)
        return false;
    bool marked = false;
    for (DWORD i = 0; i < context->printers.count; i++) {
        PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        if (record->pPrinterName && wcscmp(record->pPrinterName, name) == 0) {
            record->Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
            marked = true;
        }
    }
    return marked;
}

bool DeletePrinterQueue(SetupContext *context, const WCHAR *name)
{
    const WCHAR *shown = name ? name : L"*";
    LogLine(context, L">DeletePrinter(%s)", shown);
    LogSection section(context);

    HANDLE printer = NULL;
    PRINTER_DEFAULTSW defaults = {};
    defaults.DesiredAccess = DELETE_PRINTER_ACCESS;
    // A null name would open the print server itself.
    if (!name)
        SetLastError(ERROR_INVALID_PRINTER_NAME);
    if (!name || !OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
        LogError(context, ERR_OPEN_PRINTER, L"Can`t open printer '%s'", shown);
        return false;
    }
    bool deleted = CheckedDeletePrinter(printer) != FALSE;
    if (deleted)
        LogLine(context, L"OK");
    else
        LogError(context, ERR_DELETE_PRINTER, L"Can`t delete printer '%s'", shown);
    ClosePrinter(printer);
    return deleted;
}

// A read of "SubKey" counts only as terminated text of type REG_SZ within the buffer.
static bool IsSubKeyText(DWORD result, DWORD type, const char *buffer)
{
    return result == ERROR_SUCCESS && type == REG_SZ && memchr(buffer, 0, SUBKEY_BUFFER) != NULL;
}

// Nothing usable was there: absent, too long for the buffer, or no text.
static bool IsNoValue(DWORD result)
{
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ||
           result == ERROR_PATH_NOT_FOUND || result == ERROR_MORE_DATA;
}

// Reads "SubKey" as GetSubKeySetting does; ERROR_SUCCESS with the value, ERROR_FILE_NOT_FOUND
// when the printer has no usable one, or the error of a read that did not happen.
static DWORD ReadSubKeySetting(HANDLE printer, char *buffer)
{
    DWORD type = 0;
    DWORD needed = 0;
    // Zero-filled first, so that a shorter unterminated value still ends within the buffer.
    memset(buffer, 0, SUBKEY_BUFFER);
    DWORD plain = GetPrinterDataA(printer, const_cast<LPSTR>(SUBKEY_VALUE), &type,
                                  reinterpret_cast<LPBYTE>(buffer), SUBKEY_BUFFER, &needed);
    if (IsSubKeyText(plain, type, buffer))
        return ERROR_SUCCESS;
    memset(buffer, 0, SUBKEY_BUFFER);
    type = 0;
    DWORD copy = GetPrinterDataExA(printer, SUBKEY_COPY_KEY, SUBKEY_VALUE, &type,
                                   reinterpret_cast<LPBYTE>(buffer), SUBKEY_BUFFER, &needed);
    if (IsSubKeyText(copy, type, buffer))
        return ERROR_SUCCESS;
    memset(buffer, 0, SUBKEY_BUFFER);
    if (!IsNoValue(plain))
        return plain;
    if (!IsNoValue(copy))
        return copy;
    return ERROR_FILE_NOT_FOUND;
}

void GetSubKeySetting(HANDLE printer, char *buffer)
{
    ReadSubKeySetting(printer, buffer);
}

// Puts an entry at the front of `keptSettings` when the printer has a "SubKey" value, written
// down in the registry first. False (with the last error set) when the printer must not be
// deleted: its value could not be read, or the entry not be made or written down.
static bool KeepPrinterSetting(SetupContext *context, PRINTER_INFO_2W *record)
{
    bool ok = false;
    KeptSetting *entry = NULL;
    char *copy = NULL;
    char value[SUBKEY_BUFFER];
    size_t bytes = 0;
    HANDLE printer = NULL;
    DWORD read = 0;

    // Nothing to keep; the deletion reports the missing name.
    if (!record->pPrinterName)
        return true;
    if (!OpenPrinterW(record->pPrinterName, &printer, NULL))
        return false;
    read = ReadSubKeySetting(printer, value);
    ClosePrinter(printer);
    if (read == ERROR_FILE_NOT_FOUND)
        return true; // not kept, deleted as before
    if (read != ERROR_SUCCESS) {
        SetLastError(read);
        return false;
    }
    bytes = strlen(value) + 1;
    entry = static_cast<KeptSetting *>(GlobalAlloc(GPTR, sizeof(KeptSetting)));
    copy = static_cast<char *>(GlobalAlloc(GPTR, bytes));
    if (!entry || !copy || !WriteKeptRecord(record, value))
        goto done;
    memcpy(copy, value, bytes);
    entry->subKeyValue = copy;
    entry->printerRecord = record;
    entry->next = context->keptSettings;
    context->keptSettings = entry;
    ok = true;

done:
    if (!ok) {
        // The report names the reason of the failure, not of the release.
        DWORD error = GetLastError();
        if (entry)
            GlobalFree(entry);
        if (copy)
            GlobalFree(copy);
        SetLastError(error);
    }
    return ok;
}

// Keeps the settings of one local product printer, then deletes it; true when it was deleted.
static bool KeepAndDeletePrinter(SetupContext *context, PRINTER_INFO_2W *record)
{
    // A printer already kept (written down by an earlier run that did not finish, or a second
    // of the same name) is at most a part of what the record holds.
    bool kept = record->pPrinterName &&
                FindKeptSetting(context->keptSettings, record->pPrinterName) != NULL;
    if (!kept && !KeepPrinterSetting(context, record)) {
        LogLine(context, L"Printer '%s' is not deleted: its settings could not be kept (%d)",
                record->pPrinterName, (int)GetLastError());
        return false;
    }
    return DeletePrinterQueue(context, record->pPrinterName);
}

bool DeleteProductPrinters(SetupContext *context)
{
    LogLine(context, L">DeleteAllPrinters");
    LogSection section(context);
    TakeUpKeptRecords(context);
    bool allDeleted = true;
    for (DWORD i = 0; context->printers.buffer && i < context->printers.count; i++) {
        PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        if (!IsProductDriver(record->pDriverName))
            continue;
        // A connection is the server's shared queue: deleting it would delete it for everyone.
        if (!IsLocalPrinter(record))
            continue;
        if (!KeepAndDeletePrinter(context, record))
            allDeleted = false;
    }
    return allDeleted;
}

// Logs whether the product's monitor is registered, listing the monitors when it is not.
static void LogMonitorCheck(SetupContext *context)
{
    LogLine(context, L"Let's check our port monitors");
    MonitorList monitors = LoadMonitorList(context);
    if (FindPortMonitor(monitors) >= 0) {
        LogLine(context, L"Port monitor is found");
    } else {
        LogLine(context, L"No Zentavo port monitor was found.");
        if (monitors.buffer && monitors.count > 0)
            LogPortMonitors(context, monitors);
        else
            LogLine(context, L"BTW, there is no port monitors on this system.");
    }
    ReleaseSpoolerList(&monitors);
}

HANDLE AddPrinterQueue(SetupContext *context, const WCHAR *name)
{
    const WCHAR *shown = name ? name : L"*";
    LogLine(context, L">AddPrinter(%s)", shown);
    LogSection section(context);
    LogMonitorCheck(context);

    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(MONITOR_NAME);
    info.pDriverName = const_cast<LPWSTR>(DRIVER_NAME);
    info.pComment = const_cast<LPWSTR>(L"");
    info.pPrintProcessor = const_cast<LPWSTR>(PRINT_PROCESSOR);
    // The print processor's own default, named: a spooler that stores no datatype for a new
    // printer (Wine's) cannot open it afterwards, not even to delete it.
    info.pDatatype = const_cast<LPWSTR>(PRINTER_DATATYPE);
    HANDLE printer = NULL;
    if (name)
        printer = CheckedAddPrinter(&info);
    else
        SetLastError(ERROR_INVALID_PRINTER_NAME);
    if (printer)
        LogLine(context, L"OK :)");
    else
        LogError(context, ERR_ADD_PRINTER, L"Can`t add printer '%s'", shown);
    return printer;
}

bool SetSubKeySetting(HANDLE printer, const char *value)
{
    DWORD bytes = (DWORD)strlen(value) + 1;
    LPBYTE data = reinterpret_cast<LPBYTE>(const_cast<char *>(value));
    SetPrinterDataA(printer, const_cast<LPSTR>(SUBKEY_VALUE), REG_SZ, data, bytes);
    return SetPrinterDataExA(printer, SUBKEY_COPY_KEY, SUBKEY_VALUE, REG_SZ, data, bytes) ==
           ERROR_SUCCESS;
}

// Removes the value "deleted" from the product's per-user key `subPath`; true when removed.
static bool ClearDeletedMark(const char *subPath)
{
    char path[256];
    int written = _snprintf(path, sizeof(path), "%s\\%s", PRODUCT_USER_KEY, subPath);
    if (written < 0 || written >= (int)sizeof(path))
        return false; // a cut path would name another key
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    LONG result = RegDeleteValueA(key, DELETED_MARK);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// Anyone who may manage the printer sets its "SubKey": as a path it could reach any key of the
// user's, so only a single key name below the product's key is used.
static bool IsSubKeyName(const char *value)
{
    return value[0] && !strpbrk(value, "\\/") && strcmp(value, ".") != 0 &&
           strcmp(value, "..") != 0;
}

// Gives a re-created printer its kept value, comment, location and default status; true when
// the value is back on the printer.
static bool RestorePrinterSettings(HANDLE printer, const KeptSetting *entry)
{
    bool valueBack = SetSubKeySetting(printer, entry->subKeyValue);
    if (valueBack) {
        char value[SUBKEY_BUFFER];
        GetSubKeySetting(printer, value);
        if (IsSubKeyName(value)) {
            char subPath[sizeof(SUBKEY_PATH_PREFIX) + SUBKEY_BUFFER];
            strcpy(subPath, SUBKEY_PATH_PREFIX);
            strcat(subPath, value);
            ClearDeletedMark(subPath);
        }
    }

    const PRINTER_INFO_2W *old = entry->printerRecord;
    DWORD size = 0;
    PRINTER_INFO_2W *current = GetPrinterInfo2(printer, &size);
    if (!current)
        return valueBack;
    current->pComment = old->pComment;
    current->pLocation = old->pLocation;
    SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(current), 0);
    if ((old->Attributes & PRINTER_ATTRIBUTE_DEFAULT) && IsProductDriver(old->pDriverName)) {
        if (current->pPrinterName)
            SetDefaultPrinterByName(current->pPrinterName);
    }
    GlobalFree(current);
    return valueBack;
}

bool RestoreKeptPrinters(SetupContext *context)
{
    bool allBack = true;
    int restored = 0;
    for (KeptSetting *entry = context->keptSettings; entry; entry = entry->next) {
        HANDLE printer = AddPrinterQueue(context, entry->printerRecord->pPrinterName);
        if (!printer) {
            allBack = false;
            continue;
        }
        // Without its value back the printer would not be kept next time: the record stays.
        if (RestorePrinterSettings(printer, entry))
            RemoveKeptRecord(entry->printerRecord->pPrinterName);
        else
            allBack = false;
        ClosePrinter(printer);
        restored++;
    }
    if (restored == 0) {
        HANDLE printer = AddPrinterQueue(context, PRODUCT_PRINTER_NAME);
        if (!printer)
            return false;
        ClosePrinter(printer);
    }
    return allBack;
}
