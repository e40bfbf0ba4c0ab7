// Spooler enumerations, checked spooler calls and the file build query.
//
// Every read asks for the size, takes a zero-filled GlobalAlloc block and asks again; whatever
// goes wrong on the way gives the empty result, never a block the spooler did not fill.
#include "spooler_queries.h"

#include "product.h"
#include "setup_log.h"
#include "setup_record.h"

static const DWORD FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;

// A zero-filled block, or null with E_OUTOFMEMORY as the last error.
static BYTE *TakeBlock(DWORD bytes)
{
    BYTE *block = static_cast<BYTE *>(GlobalAlloc(GPTR, bytes));
    if (!block)
        SetLastError((DWORD)E_OUTOFMEMORY);
    return block;
}

// The size call of an enumeration: only a refusal for want of a buffer, naming a size, leads to
// the second call. A success means nothing to list (Wine answers an empty list that way).
static bool SizeCallAsksForBuffer(BOOL ok, DWORD needed)
{
    return !ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > 0;
}

// Records must lie within both the block and the bytes the spooler says it wrote.
static bool RecordsFit(DWORD count, SIZE_T recordSize, DWORD blockSize, DWORD written)
{
    DWORD bytes = written < blockSize ? written : blockSize;
    return (ULONGLONG)count * recordSize <= bytes;
}

LONG GetFileBuild(const WCHAR *path)
{
    LONG build = -1;
    DWORD unused = 0;
    DWORD size = 0;
    BYTE *block = NULL;
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;

    size = GetFileVersionInfoSizeW(path, &unused);
    if (size == 0)
        return build;
    block = TakeBlock(size);
    if (!block)
        return build;
    if (!GetFileVersionInfoW(path, 0, size, block))
        goto done;
    // A truncated or foreign resource can hand back less than the record, or one outside the
    // block: only a whole record with its signature is believed.
    if (!VerQueryValueW(block, L"\\", reinterpret_cast<void **>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO) || reinterpret_cast<BYTE *>(info) < block ||
        reinterpret_cast<BYTE *>(info) + sizeof(VS_FIXEDFILEINFO) > block + size ||
        info->dwSignature != FIXED_FILE_INFO_SIGNATURE)
        goto done;
    build = (LONG)LOWORD(info->dwProductVersionLS);

done:
    GlobalFree(block);
    return build;
}

// How a two-call enumeration ended; the last error holds the reason of a failure.
enum ListOutcome {
    LIST_LOADED,
    LIST_NOTHING_LISTED, // the size call succeeded: nothing to list
    LIST_SIZE_REFUSED,   // the size call failed for another reason than the buffer
    LIST_NO_MEMORY,
    LIST_READ_FAILED, // the second call failed, or claimed more records than it wrote
};

// The spooler's enumerations differ only in their call: `list->level` records of `recordSize`
// bytes, into `block` (null for the size call).
static BOOL Enumerate(char kind, const WCHAR *environment, DWORD level, BYTE *block, DWORD size,
                      DWORD *needed, DWORD *count)
{
    LPWSTR env = const_cast<LPWSTR>(environment);
    switch (kind) {
    case 'M':
        return EnumMonitorsW(NULL, level, block, size, needed, count);
    case 'D':
        return EnumPrinterDriversW(NULL, env, level, block, size, needed, count);
    default:
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, level, block,
                             size, needed, count);
    }
}

// Asks for the size, takes a zero-filled block and asks again; fills `list` only when the
// records fit within both the block and what the spooler says it wrote.
static ListOutcome LoadList(char kind, const WCHAR *environment, SIZE_T recordSize,
                            SpoolerList *list)
{
    DWORD needed = 0;
    DWORD count = 0;
    BOOL ok = Enumerate(kind, environment, list->level, NULL, 0, &needed, &count);
    if (ok)
        return LIST_NOTHING_LISTED;
    if (!SizeCallAsksForBuffer(ok, needed))
        return LIST_SIZE_REFUSED;
    BYTE *block = TakeBlock(needed);
    if (!block)
        return LIST_NO_MEMORY;
    DWORD size = needed;
    count = 0;
    if (!Enumerate(kind, environment, list->level, block, size, &needed, &count)) {
        DWORD error = GetLastError();
        GlobalFree(block);
        SetLastError(error);
        return LIST_READ_FAILED;
    }
    if (!RecordsFit(count, recordSize, size, needed)) {
        GlobalFree(block);
        SetLastError(ERROR_INVALID_DATA);
        return LIST_READ_FAILED;
    }
    list->buffer = block;
    list->count = count;
    return LIST_LOADED;
}

MonitorList LoadMonitorList(SetupContext *context)
{
    MonitorList list = {NULL, 2, 0};
    const WCHAR *format = NULL;
    switch (LoadList('M', NULL, sizeof(MONITOR_INFO_2W), &list)) {
    case LIST_LOADED:
        return list;
    case LIST_NOTHING_LISTED:
        LogLine(context, L"1. EnumMonitors returns true");
        return list;
    case LIST_NO_MEMORY:
        LogLine(context, L"3. EnumMonitors - can't allocate memory for buffer");
        SetLastError((DWORD)E_OUTOFMEMORY);
        return list;
    case LIST_SIZE_REFUSED:
        format = L"2. EnumMonitors  failed with code: %s";
        break;
    case LIST_READ_FAILED:
        format = L"3. EnumMonitors  failed with code: %s";
        break;
    }
    // The system's text as it comes, its line break included.
    DWORD code = GetLastError();
    WCHAR *text = SystemMessageText(code, true);
    LogLine(context, format, text ? text : L"No Error or no description");
    if (text)
        LocalFree(text);
    SetLastError(code);
    return list;
}

DriverList LoadDriverList(const WCHAR *environment)
{
    DriverList list = {NULL, 6, 0};
    LoadList('D', environment, sizeof(DRIVER_INFO_6W), &list);
    return list;
}

void RefreshPrinterList(PrinterList *list)
{
    ReleaseSpoolerList(list);
    list->level = 2;
    LoadList('P', NULL, sizeof(PRINTER_INFO_2W), list);
}

void ReleaseSpoolerList(SpoolerList *list)
{
    if (list->buffer)
        GlobalFree(list->buffer);
    list->buffer = NULL;
    list->count = 0;
}

PRINTER_INFO_2W *GetPrinterInfo2(HANDLE printer, DWORD *size)
{
    DWORD needed = 0;
    *size = 0;
    BOOL ok = GetPrinterW(printer, 2, NULL, 0, &needed);
    // The caller reads the record itself: a size below it is no answer.
    if (!SizeCallAsksForBuffer(ok, needed) || needed < sizeof(PRINTER_INFO_2W))
        return NULL;
    BYTE *block = TakeBlock(needed);
    if (!block)
        return NULL;
    if (!GetPrinterW(printer, 2, block, needed, &needed)) {
        GlobalFree(block);
        return NULL;
    }
    *size = needed;
    return reinterpret_cast<PRINTER_INFO_2W *>(block);
}

DRIVER_INFO_2W *GetPrinterDriverInfo2(HANDLE printer)
{
    DWORD needed = 0;
    BOOL ok = GetPrinterDriverW(printer, const_cast<LPWSTR>(ENVIRONMENTS[1]), 2, NULL, 0, &needed);
    if (!SizeCallAsksForBuffer(ok, needed) || needed < sizeof(DRIVER_INFO_2W))
        return NULL;
    BYTE *block = TakeBlock(needed);
    if (!block)
        return NULL;
    // Without an environment the spooler takes this 64-bit process's own, "Windows x64".
    if (!GetPrinterDriverW(printer, NULL, 2, block, needed, &needed)) {
        GlobalFree(block);
        return NULL;
    }
    return reinterpret_cast<DRIVER_INFO_2W *>(block);
}

BOOL CheckedClosePrinter(HANDLE printer)
{
    return ClosePrinter(printer);
}

HANDLE CheckedAddPrinter(PRINTER_INFO_2W *info)
{
    return AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(info));
}

BOOL CheckedDeletePrinter(HANDLE printer)
{
    // Queued jobs would keep the printer alive; whether the purge worked, the deletion tells.
    SetPrinterW(printer, 0, NULL, PRINTER_CONTROL_PURGE);
    return DeletePrinter(printer);
}

BOOL CheckedAddPrinterDriver(DRIVER_INFO_6W *info)
{
    return AddPrinterDriverExW(NULL, 6, reinterpret_cast<LPBYTE>(info), APD_COPY_ALL_FILES);
}

BOOL CheckedDeleteMonitor(const WCHAR *environment)
{
    return DeleteMonitorW(NULL, const_cast<LPWSTR>(environment), const_cast<LPWSTR>(MONITOR_NAME));
}

typedef BOOL(WINAPI *DefaultPrinterQuery)(LPWSTR buffer, LPDWORD size);
typedef BOOL(WINAPI *DefaultPrinterSetter)(LPCWSTR name);
static const WORD DEFAULT_PRINTER_QUERY_ORDINAL = 203;
static const WORD DEFAULT_PRINTER_SETTER_ORDINAL = 204;

static void *WinspoolOrdinal(WORD ordinal)
{
    HMODULE winspool = GetModuleHandleW(L"winspool.drv");
    // Delay-loaded: no spooler call may have loaded it yet.
    if (!winspool)
        winspool = LoadLibraryExW(L"winspool.drv", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return winspool ? reinterpret_cast<void *>(GetProcAddress(winspool, MAKEINTRESOURCEA(ordinal)))
                    : NULL;
}

BOOL QueryDefaultPrinter(WCHAR *buffer, DWORD *size)
{
    DefaultPrinterQuery query =
        reinterpret_cast<DefaultPrinterQuery>(WinspoolOrdinal(DEFAULT_PRINTER_QUERY_ORDINAL));
    return query ? query(buffer, size) : FALSE;
}

BOOL SetDefaultPrinterByName(const WCHAR *name)
{
    DefaultPrinterSetter setter =
        reinterpret_cast<DefaultPrinterSetter>(WinspoolOrdinal(DEFAULT_PRINTER_SETTER_ORDINAL));
    return setter ? setter(name) : FALSE;
}

bool IsProductDriver(const WCHAR *driverName)
{
    return driverName && wcscmp(driverName, DRIVER_NAME) == 0;
}

bool IsLocalPrinter(const PRINTER_INFO_2W *record)
{
    return !(record->Attributes & PRINTER_ATTRIBUTE_NETWORK) &&
           (!record->pServerName || !record->pServerName[0]);
}

static const WCHAR *MonitorNameAt(const SpoolerList &list, DWORD i)
{
    if (list.level == 1)
        return reinterpret_cast<MONITOR_INFO_1W *>(list.buffer)[i].pName;
    if (list.level == 2)
        return reinterpret_cast<MONITOR_INFO_2W *>(list.buffer)[i].pName;
    return NULL;
}

int FindSpoolerName(const SpoolerList &list, SpoolerNameAt nameAt, const WCHAR *name)
{
    for (DWORD i = 0; list.buffer && i < list.count; i++) {
        const WCHAR *entry = nameAt(list, i);
        if (entry && wcscmp(entry, name) == 0)
            return (int)i;
    }
    return -1;
}

int FindPortMonitor(const MonitorList &list)
{
    return FindSpoolerName(list, MonitorNameAt, MONITOR_NAME);
}

void LogSpoolerNames(SetupContext *context, const SpoolerList &list, const WCHAR *heading,
                     const WCHAR *rule, SpoolerNameAt nameAt)
{
    LogLine(context, heading, (int)list.count);
    // Records are stepped by the list's level so that the walk stays inside the block.
    for (DWORD i = 0; list.buffer && i < list.count; i++) {
        const WCHAR *name = nameAt(list, i);
        LogLine(context, L"%d. %s", (int)(i + 1), name ? name : L"***EMPTY***");
    }
    LogLine(context, rule);
}

void LogPortMonitors(SetupContext *context, const MonitorList &list)
{
    LogSpoolerNames(context, list, L"------- %d existing monitors ----------",
                    L"---------------------------------------", MonitorNameAt);
}
