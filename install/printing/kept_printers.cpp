// The kept-printer records: how each kept printer is written down in the registry, and reading,
// taking up and forgetting what an earlier run wrote down.
#include "printing/kept_printers.h"

#include <string.h>
#include <wchar.h>

#include "product.h"
#include "services/spooler_queries.h"
#include "setup_log.h"
#include "setup_record.h"

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

KeptSetting *FindKeptSetting(KeptSetting *entry, const WCHAR *name)
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

bool WriteKeptRecord(const PRINTER_INFO_2W *record, const char *subKey)
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

// Deletes the HKLM key `path` when it holds neither a value nor a key; true when it did.
static bool DeleteEmptyKey(const WCHAR *path)
{
    HKEY key = NULL;
    DWORD keys = 0, values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool empty = RegQueryInfoKeyW(key, NULL, NULL, NULL, &keys, NULL, NULL, &values, NULL, NULL,
                                  NULL, NULL) == ERROR_SUCCESS &&
                 keys == 0 && values == 0;
    RegCloseKey(key);
    return empty && RegDeleteKeyW(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS;
}

bool ForgetKeptRecords()
{
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY);
    // The product's key and the company's above it were made for the records: they go with
    // them, unless something else is kept there.
    WCHAR parent[ARRAYSIZE(KEPT_RECORDS_KEY)];
    wcscpy(parent, KEPT_RECORDS_KEY);
    for (int level = 0; level < 2; level++) {
        WCHAR *last = wcsrchr(parent, L'\\');
        if (!last)
            break;
        *last = 0;
        if (!DeleteEmptyKey(parent))
            break;
    }
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

void RemoveKeptRecord(const WCHAR *name)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0, KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
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
