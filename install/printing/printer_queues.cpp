// Product printer queues and the settings kept across a reinstall.
#include "printer_queues.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "printer_queues_internal.h"
#include "setup_context.h"
#include "setup_log.h"
#include "services/spooler_queries.h"

static const DWORD DELETE_PRINTER_ACCESS = DELETE | PRINTER_ACCESS_ADMINISTER;

// A kept printer is written down here before it is deleted and removed once it is back, so that
// a reinstall that fails or ends half way loses none: one REG_BINARY value per printer, named by
// the printer. Its data, in this order, without padding or terminators:
//   DWORD flags            KEPT_DEFAULT when the printer was the default one
//   DWORD subKeyBytes      1 to SUBKEY_BUFFER - 1, no zero byte among them
//   DWORD commentChars     the comment's length
//   DWORD locationChars    the location's length
//   the "SubKey" text (narrow), the comment and the location (UTF-16)
// The texts are as long as the spooler let them be: a printer is kept whole or not deleted.
// Anything else found there is dropped, never used in part.
static const DWORD KEPT_DEFAULT = 1;
static const DWORD KEPT_HEADER_DWORDS = 4;
static const DWORD KEPT_HEADER_BYTES = KEPT_HEADER_DWORDS * sizeof(DWORD);
// The registry's own limit of a value name; a printer with a longer name cannot be written down.
static const DWORD KEPT_NAME_CHARS = 16383;

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

static KeptSetting *FindKeptSetting(KeptSetting *entry, const WCHAR *name)
{
    for (; entry; entry = entry->next) {
        if (wcscmp(entry->printerRecord->pPrinterName, name) == 0)
            return entry;
    }
    return NULL;
}

static DWORD TextChars(const WCHAR *text)
{
    return text ? (DWORD)wcslen(text) : 0;
}

// Writes and flushes the record of one printer; false (with the last error set) when it is not
// on disk.
static bool WriteKeptRecord(const PRINTER_INFO_2W *record, const char *subKey)
{
    DWORD header[KEPT_HEADER_DWORDS];
    header[0] = (record->Attributes & PRINTER_ATTRIBUTE_DEFAULT) ? KEPT_DEFAULT : 0;
    header[1] = (DWORD)strlen(subKey);
    header[2] = TextChars(record->pComment);
    header[3] = TextChars(record->pLocation);
    if (TextChars(record->pPrinterName) > KEPT_NAME_CHARS ||
        (ULONGLONG)header[2] + header[3] > (MAXDWORD - KEPT_HEADER_BYTES - SUBKEY_BUFFER) / 2) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return false;
    }
    DWORD bytes = KEPT_HEADER_BYTES + header[1] + (header[2] + header[3]) * sizeof(WCHAR);
    BYTE *data = static_cast<BYTE *>(GlobalAlloc(GPTR, bytes));
    if (!data)
        return false;
    BYTE *at = data;
    memcpy(at, header, KEPT_HEADER_BYTES);
    at += KEPT_HEADER_BYTES;
    memcpy(at, subKey, header[1]);
    at += header[1];
    if (header[2])
        memcpy(at, record->pComment, header[2] * sizeof(WCHAR));
    at += header[2] * sizeof(WCHAR);
    if (header[3])
        memcpy(at, record->pLocation, header[3] * sizeof(WCHAR));

    HKEY key = NULL;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0, NULL, 0, KEY_SET_VALUE,
                                  NULL, &key, NULL);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, record->pPrinterName, 0, REG_BINARY, data, bytes);
        // Written is not enough: the record must outlive a power loss right after the deletion.
        if (result == ERROR_SUCCESS)
            result = RegFlushKey(key);
        RegCloseKey(key);
    }
    GlobalFree(data);
    SetLastError((DWORD)result);
    return result == ERROR_SUCCESS;
}

// A new entry for a written-down record of `bytes` bytes, or null when the record is malformed
// (or no memory is left).
static KeptSetting *EntryFromRecord(const WCHAR *name, DWORD type, const BYTE *data, DWORD bytes)
{
    DWORD header[KEPT_HEADER_DWORDS];
    DWORD nameChars = (DWORD)wcslen(name);
    if (type != REG_BINARY || bytes < KEPT_HEADER_BYTES || nameChars == 0 ||
        nameChars > KEPT_NAME_CHARS)
        return NULL;
    memcpy(header, data, KEPT_HEADER_BYTES);
    // Counted in 64 bits: lengths that wrap around must not add up to the size.
    if ((header[0] & ~KEPT_DEFAULT) || header[1] == 0 || header[1] >= SUBKEY_BUFFER ||
        bytes != KEPT_HEADER_BYTES + header[1] + ((ULONGLONG)header[2] + header[3]) * sizeof(WCHAR))
        return NULL;
    const BYTE *subKey = data + KEPT_HEADER_BYTES;
    if (memchr(subKey, 0, header[1]))
        return NULL;

    // The record and its three texts in one block, each text terminated.
    SIZE_T recordBytes =
        sizeof(PRINTER_INFO_2W) + (nameChars + header[2] + header[3] + 3) * sizeof(WCHAR);
    KeptSetting *entry = static_cast<KeptSetting *>(GlobalAlloc(GPTR, sizeof(KeptSetting)));
    PRINTER_INFO_2W *record = static_cast<PRINTER_INFO_2W *>(GlobalAlloc(GPTR, recordBytes));
    char *value = static_cast<char *>(GlobalAlloc(GPTR, header[1] + 1));
    if (!entry || !record || !value) {
        if (entry)
            GlobalFree(entry);
        if (record)
            GlobalFree(record);
        if (value)
            GlobalFree(value);
        return NULL;
    }
    memcpy(value, subKey, header[1]);
    WCHAR *text = reinterpret_cast<WCHAR *>(record + 1);
    record->pPrinterName = text;
    memcpy(text, name, nameChars * sizeof(WCHAR));
    text += nameChars + 1;
    record->pComment = text;
    memcpy(text, subKey + header[1], header[2] * sizeof(WCHAR));
    text += header[2] + 1;
    record->pLocation = text;
    memcpy(text, subKey + header[1] + header[2] * sizeof(WCHAR), header[3] * sizeof(WCHAR));
    record->pDriverName = const_cast<LPWSTR>(DRIVER_NAME);
    record->pPortName = const_cast<LPWSTR>(MONITOR_NAME);
    record->Attributes = (header[0] & KEPT_DEFAULT) ? PRINTER_ATTRIBUTE_DEFAULT : 0;
    entry->subKeyValue = value;
    entry->printerRecord = record;
    entry->recordBlock = record;
    return entry;
}

// A printer of that name that is not ours: re-creating the kept one would make two.
static bool NameTakenByOther(const SetupContext *context, const WCHAR *name)
{
    for (DWORD i = 0; context->printers.buffer && i < context->printers.count; i++) {
        const PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        if (record->pPrinterName && wcscmp(record->pPrinterName, name) == 0 &&
            (!IsProductDriver(record->pDriverName) || !IsLocalPrinter(record)))
            return true;
    }
    return false;
}

// Takes up the written-down record `name` of the open records key into `*taken`, or drops it
// (the value deleted, with a log line) when it is malformed, a second of its name, or named by a
// printer that is not ours. `data` holds `capacity` bytes, the longest value listed when the walk
// began. False when a dropped value could not be deleted: it is still at its index.
static bool TakeUpRecord(SetupContext *context, HKEY key, const WCHAR *name, BYTE *data,
                         DWORD capacity, KeptSetting **taken)
{
    // A value that grew since it was listed is no record this tool wrote: dropped.
    KeptSetting *entry = NULL;
    DWORD type = 0;
    DWORD bytes = capacity;
    *taken = NULL;
    if (RegQueryValueExW(key, name, NULL, &type, data, &bytes) == ERROR_SUCCESS)
        entry = EntryFromRecord(name, type, data, bytes);
    if (!entry || FindKeptSetting(context->keptSettings, name) || NameTakenByOther(context, name)) {
        LogLine(context, L"Kept printer record '%s' dropped", name);
        FreeKeptSettingsList(entry);
        return RegDeleteValueW(key, name) == ERROR_SUCCESS;
    }
    LogLine(context, L"Kept printer '%s' taken up from an earlier run", name);
    *taken = entry;
    return true;
}

// Takes up or drops each of the `values` values of the open records key, whose longest name has
// `nameChars` characters and longest data `dataBytes` bytes; false when no memory is left to
// read them.
static bool TakeUpRecords(SetupContext *context, HKEY key, DWORD values, DWORD nameChars,
                          DWORD dataBytes)
{
    bool ok = false;
    KeptSetting **tail = &context->keptSettings;
    WCHAR *name = static_cast<WCHAR *>(GlobalAlloc(GPTR, ((SIZE_T)nameChars + 1) * sizeof(WCHAR)));
    BYTE *data = static_cast<BYTE *>(GlobalAlloc(GPTR, (SIZE_T)dataBytes + 1));
    if (!name || !data)
        goto done;
    while (*tail)
        tail = &(*tail)->next;

    // Each value listed at the start is looked at once: one that cannot be removed by its name
    // is stepped over, so the walk ends whatever the key holds.
    for (DWORD index = 0, seen = 0; seen < values; seen++) {
        DWORD chars = nameChars + 1;
        LONG result = RegEnumValueW(key, index, name, &chars, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            index++; // changed while it is read: left for the next run
            continue;
        }
        // A name with a NUL inside is listed, but no call by name reaches that value: read by
        // its first part it would be another printer's record.
        if (wcslen(name) != chars) {
            LogLine(context, L"Kept printer record '%s' has a NUL in its name: left", name);
            index++;
            continue;
        }
        KeptSetting *entry = NULL;
        if (!TakeUpRecord(context, key, name, data, dataBytes, &entry)) {
            index++;
            continue;
        }
        if (!entry)
            continue; // dropped: the next value now has this index
        *tail = entry;
        tail = &entry->next;
        index++;
    }
    ok = true;

done:
    if (name)
        GlobalFree(name);
    if (data)
        GlobalFree(data);
    return ok;
}

bool TakeUpKeptRecords(SetupContext *context)
{
    HKEY key = NULL;
    DWORD values = 0, nameChars = 0, dataBytes = 0;
    bool ok = false;

    LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND; // none written down
    if (RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, &nameChars, &dataBytes,
                         NULL, NULL) != ERROR_SUCCESS)
        goto done;
    ok = values == 0 || TakeUpRecords(context, key, values, nameChars, dataBytes);

done:
    RegCloseKey(key);
    return ok;
}

bool ForgetKeptRecords()
{
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

static void RemoveKeptRecord(const WCHAR *name)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0, KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
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

bool KeptPrintersCanBeWrittenDown(SetupContext *context)
{
    HKEY key = NULL;
    LONG opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0, NULL, 0, KEY_SET_VALUE,
                                  NULL, &key, NULL);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(key);
    bool can = true;
    for (DWORD i = 0; context->printers.buffer && i < context->printers.count; i++) {
        const PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        if (!IsProductDriver(record->pDriverName) || !IsLocalPrinter(record) ||
            !record->pPrinterName)
            continue;
        if (opened == ERROR_SUCCESS && TextChars(record->pPrinterName) <= KEPT_NAME_CHARS)
            continue;
        SetLastError(opened == ERROR_SUCCESS ? (DWORD)ERROR_BUFFER_OVERFLOW : (DWORD)opened);
        LogError(context, ERR_KEEP_PRINTER, L"Can`t write down the settings of printer '%s'",
                 record->pPrinterName);
        can = false;
    }
    return can;
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
