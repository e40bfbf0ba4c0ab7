// Product printer queues and the settings kept across a reinstall.
#include "printer_queues.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "port_monitor.h"
#include "printer_driver.h"
#include "setup_context.h"
#include "setup_log.h"

const WCHAR PRODUCT_PRINTER_NAME[] = L"Zentavo";

static const WCHAR PRINT_PROCESSOR[] = L"WinPrint";
static const WCHAR PRINTER_DATATYPE[] = L"RAW";
static const char SUBKEY_VALUE[] = "SubKey";
static const char SUBKEY_COPY_KEY[] = "DsUser";
static const char PRODUCT_USER_KEY[] = "Software\\Tovalin Software KFT\\Zentavo";
static const char SUBKEY_PATH_PREFIX[] = "Zentavos\\";
static const char DELETED_MARK[] = "deleted";
static const DWORD DELETE_PRINTER_ACCESS = DELETE | PRINTER_ACCESS_ADMINISTER;
// The default printer's name is queried into this many characters.
static const DWORD DEFAULT_NAME_CHARS = 255;

void FreeKeptSettingsList(KeptSetting *entry)
{
    while (entry) {
        KeptSetting *next = entry->next;
        if (entry->subKeyValue)
            GlobalFree(entry->subKeyValue);
        GlobalFree(entry);
        entry = next;
    }
}

bool IsLocalPrinter(const PRINTER_INFO_2W *record)
{
    return !(record->Attributes & PRINTER_ATTRIBUTE_NETWORK) &&
           (!record->pServerName || !record->pServerName[0]);
}

void MarkDefaultPrinter(SetupContext *context)
{
    RefreshPrinterList(&context->printers);
    WCHAR name[DEFAULT_NAME_CHARS] = {};
    DWORD size = DEFAULT_NAME_CHARS;
    if (!QueryDefaultPrinter(name, &size) || !context->printers.buffer)
        return;
    for (DWORD i = 0; i < context->printers.count; i++) {
        PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        if (record->pPrinterName && wcscmp(record->pPrinterName, name) == 0)
            record->Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
}

void DeletePrinterQueue(SetupContext *context, const WCHAR *name)
{
    const WCHAR *shown = name ? name : L"*";
    LogLine(context, L">DeletePrinter(%s)", shown);
    context->logDepth++;

    HANDLE printer = NULL;
    PRINTER_DEFAULTSW defaults = {};
    defaults.DesiredAccess = DELETE_PRINTER_ACCESS;
    // A null name would open the print server itself.
    if (!name) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
    } else if (OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
        if (CheckedDeletePrinter(printer))
            LogLine(context, L"OK");
        else
            LogError(context, ERR_DELETE_PRINTER, L"Can`t delete printer '%s'", shown);
        ClosePrinter(printer);
        context->logDepth--;
        return;
    }
    LogError(context, ERR_OPEN_PRINTER, L"Can`t open printer '%s'", shown);
    context->logDepth--;
}

void DeleteProductPrinters(SetupContext *context)
{
    LogLine(context, L">DeleteAllPrinters");
    context->logDepth++;
    for (DWORD i = 0; context->printers.buffer && i < context->printers.count; i++) {
        PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        if (!IsProductDriver(record->pDriverName))
            continue;
        // A connection is the server's shared queue: deleting it would delete it for everyone.
        if (!IsLocalPrinter(record))
            continue;
        KeepPrinterSetting(context, record);
        DeletePrinterQueue(context, record->pPrinterName);
    }
    context->logDepth--;
}

// A read of "SubKey" counts only as terminated text of type REG_SZ within the buffer.
static bool IsSubKeyText(DWORD result, DWORD type, const char *buffer)
{
    return result == ERROR_SUCCESS && type == REG_SZ && memchr(buffer, 0, SUBKEY_BUFFER) != NULL;
}

void GetSubKeySetting(HANDLE printer, char *buffer)
{
    DWORD type = 0;
    DWORD needed = 0;
    // Zero-filled first, so that a shorter unterminated value still ends within the buffer.
    memset(buffer, 0, SUBKEY_BUFFER);
    DWORD result = GetPrinterDataA(printer, const_cast<LPSTR>(SUBKEY_VALUE), &type,
                                   reinterpret_cast<LPBYTE>(buffer), SUBKEY_BUFFER, &needed);
    if (IsSubKeyText(result, type, buffer))
        return;
    memset(buffer, 0, SUBKEY_BUFFER);
    type = 0;
    result = GetPrinterDataExA(printer, SUBKEY_COPY_KEY, SUBKEY_VALUE, &type,
                               reinterpret_cast<LPBYTE>(buffer), SUBKEY_BUFFER, &needed);
    if (IsSubKeyText(result, type, buffer))
        return;
    memset(buffer, 0, SUBKEY_BUFFER);
}

void KeepPrinterSetting(SetupContext *context, PRINTER_INFO_2W *record)
{
    HANDLE printer = NULL;
    if (!record->pPrinterName || !OpenPrinterW(record->pPrinterName, &printer, NULL))
        return;
    char value[SUBKEY_BUFFER];
    GetSubKeySetting(printer, value);
    if (value[0]) {
        size_t bytes = strlen(value) + 1;
        KeptSetting *entry = static_cast<KeptSetting *>(GlobalAlloc(GPTR, sizeof(KeptSetting)));
        char *copy = static_cast<char *>(GlobalAlloc(GPTR, bytes));
        if (entry && copy) {
            memcpy(copy, value, bytes);
            entry->subKeyValue = copy;
            entry->printerRecord = record;
            entry->next = context->keptSettings;
            context->keptSettings = entry;
        } else {
            if (entry)
                GlobalFree(entry);
            if (copy)
                GlobalFree(copy);
        }
    }
    ClosePrinter(printer);
}

HANDLE AddPrinterQueue(SetupContext *context, const WCHAR *name)
{
    const WCHAR *shown = name ? name : L"*";
    LogLine(context, L">AddPrinter(%s)", shown);
    context->logDepth++;

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
    ReleaseMonitorList(&monitors);

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
    context->logDepth--;
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

bool ClearDeletedMark(const char *subPath)
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

// Gives a re-created printer its kept value, comment, location and default status.
static void RestorePrinterSettings(HANDLE printer, const KeptSetting *entry)
{
    if (SetSubKeySetting(printer, entry->subKeyValue)) {
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
        return;
    current->pComment = old->pComment;
    current->pLocation = old->pLocation;
    SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(current), 0);
    if ((old->Attributes & PRINTER_ATTRIBUTE_DEFAULT) && IsProductDriver(old->pDriverName)) {
        if (current->pPrinterName)
            SetDefaultPrinterByName(current->pPrinterName);
    }
    GlobalFree(current);
}

void RestoreKeptPrinters(SetupContext *context)
{
    int restored = 0;
    for (KeptSetting *entry = context->keptSettings; entry; entry = entry->next) {
        HANDLE printer = AddPrinterQueue(context, entry->printerRecord->pPrinterName);
        if (!printer)
            continue;
        RestorePrinterSettings(printer, entry);
        ClosePrinter(printer);
        restored++;
    }
    if (restored == 0) {
        HANDLE printer = AddPrinterQueue(context, PRODUCT_PRINTER_NAME);
        if (printer)
            ClosePrinter(printer);
    }
}
