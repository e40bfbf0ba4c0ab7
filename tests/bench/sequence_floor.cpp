// The floor of the sequence figures. The calls are those the tool makes on Wine for `in_notray`
// from a clean state and for `uninstall` after it, in the same order, each result taken as it
// comes; CopyFileW stands for the tool's own open, read and write of each file.
#include "sequence_floor.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <vector>

#include <winspool.h>

#include "printing/kept_printers.h"
#include "product.h"
#include "spool_calls.h"

namespace {

typedef BOOL(WINAPI *GetDefaultPrinterFunction)(LPWSTR, LPDWORD);

const WCHAR *const DRIVER_FILES[] = {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"};

struct Folders {
    WCHAR system[MAX_PATH];
    WCHAR driver[MAX_PATH];
};

// Size call, then the call that fills the block, as every enumeration of the tool.
template <typename Call>
bool TwoCalls(Call call)
{
    DWORD needed = 0, count = 0;
    call(NULL, 0, &needed, &count);
    if (needed == 0)
        return true;
    std::vector<BYTE> block(needed);
    return call(block.data(), needed, &needed, &count) != FALSE;
}

void QuerySpoolerService()
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS | SERVICE_START) : NULL;
    SERVICE_STATUS status;
    if (service) {
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
}

// The printers as the context holds them: the records and the default one's name.
struct Snapshot {
    std::vector<BYTE> block;
    DWORD count = 0;
    WCHAR defaultName[260] = {};

    const PRINTER_INFO_2W *at(DWORD i) const
    {
        return reinterpret_cast<const PRINTER_INFO_2W *>(block.data()) + i;
    }
};

// What the context is built from: folders, the printers and the default one.
void Context(Folders *folders, Snapshot *snapshot)
{
    QuerySpoolerService();
    DWORD needed = 0;
    GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT), 1, NULL, 0, &needed);
    GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT), 1,
                               reinterpret_cast<BYTE *>(folders->driver), sizeof(folders->driver),
                               &needed);
    GetSystemDirectoryW(folders->system, MAX_PATH);
    DWORD count = 0;
    needed = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, NULL, 0, &needed, &count);
    snapshot->block.assign(needed, 0);
    if (needed && !EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2,
                                 snapshot->block.data(), needed, &needed, &count))
        count = 0;
    snapshot->count = count;
    static GetDefaultPrinterFunction getDefault =
        reinterpret_cast<GetDefaultPrinterFunction>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"winspool.drv"), MAKEINTRESOURCEA(203))));
    DWORD size = 260;
    if (getDefault)
        getDefault(snapshot->defaultName, &size);
}

void Context(Folders *folders)
{
    Snapshot snapshot;
    Context(folders, &snapshot);
}

bool ListMonitors()
{
    return TwoCalls([](BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
        return EnumMonitorsW(NULL, 2, buffer, size, needed, count);
    });
}

bool ListDrivers()
{
    return TwoCalls([](BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
        return EnumPrinterDriversW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT), 6, buffer, size,
                                   needed, count);
    });
}

void Path(WCHAR *path, const WCHAR *dir, const WCHAR *name)
{
    _snwprintf(path, MAX_PATH, L"%s\\%s", dir, name);
    path[MAX_PATH - 1] = 0;
}

void ReadVersion(const WCHAR *path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return;
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (GetFileVersionInfoW(path, 0, size, data.data()))
        VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&info), &length);
}

bool Copy(const WCHAR *sourceDir, const WCHAR *destDir, const WCHAR *name)
{
    WCHAR source[MAX_PATH], dest[MAX_PATH];
    _snwprintf(source, MAX_PATH, L"%s%s", sourceDir, name);
    source[MAX_PATH - 1] = 0;
    Path(dest, destDir, name);
    return CopyFileW(source, dest, FALSE) != FALSE;
}

} // namespace

bool FloorInstall(const WCHAR *sourceDir)
{
    Folders folders;
    Context(&folders);
    bool ok = ListMonitors() && ListDrivers();
    WCHAR monitor[MAX_PATH];
    Path(monitor, folders.system, L"tvlmon64.dll");
    ReadVersion(monitor);
    DeleteStandinMonitor();

    ok = Copy(sourceDir, folders.system, L"tvlmon64.dll") && ok;
    ok = AddStandinMonitor(L"tvlmon64.dll") && ok;
    for (const WCHAR *name : DRIVER_FILES)
        ok = Copy(sourceDir, folders.driver, name) && ok;
    ok = AddStandinDriver() && ok;
    for (const WCHAR *name : DRIVER_FILES) {
        WCHAR staged[MAX_PATH];
        Path(staged, folders.driver, name);
        DeleteFileW(staged);
    }
    ok = ListMonitors() && ok;
    HANDLE printer = AddStandinPrinter(L"Zentavo", STANDIN_MONITOR_NAME, L"RAW");
    if (printer)
        ClosePrinter(printer);
    ok = printer != NULL && ok;

    WCHAR versionDir[MAX_PATH], placed[MAX_PATH];
    Path(versionDir, folders.driver, L"3");
    GetFileAttributesW(monitor);
    for (const WCHAR *name : DRIVER_FILES) {
        Path(placed, versionDir, name);
        GetFileAttributesW(placed);
    }
    return ok;
}

bool FloorUninstall()
{
    Folders folders;
    Context(&folders);
    bool ok = ListMonitors() && ListDrivers();

    HANDLE printer = NULL;
    if (OpenPrinterW(const_cast<LPWSTR>(L"Zentavo"), &printer, NULL)) {
        char value[64];
        DWORD type = 0, needed = 0;
        GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type, (BYTE *)value, sizeof(value),
                        &needed);
        GetPrinterDataExA(printer, "DsUser", "SubKey", &type, (BYTE *)value, sizeof(value),
                          &needed);
        ClosePrinter(printer);
    }
    ok = DeleteStandinPrinter(L"Zentavo") && ok;

    if (!DeleteStandinDriver(DPD_DELETE_ALL_FILES))
        ok = DeleteStandinDriver(0) && ok;
    WCHAR versionDir[MAX_PATH], file[MAX_PATH];
    Path(versionDir, folders.driver, L"3");
    for (const WCHAR *name : DRIVER_FILES) {
        Path(file, versionDir, name);
        ok = DeleteFileW(file) && ok;
    }
    ok = DeleteStandinMonitor() && ok;
    Path(file, folders.system, L"tvlmon64.dll");
    ok = DeleteFileW(file) && ok;
    return ok;
}

namespace {

typedef BOOL(WINAPI *SetDefaultPrinterFunction)(LPCWSTR);

// A kept printer: its old record and its "SubKey" value.
struct Kept {
    const PRINTER_INFO_2W *record;
    char value[64];
};

// The record of a kept printer written down and flushed, as the tool keeps it (the bytes need
// not be the tool's: the calls are what counts).
void WriteRecord(const PRINTER_INFO_2W *record, const char *value)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, record->pPrinterName, 0, REG_BINARY, reinterpret_cast<const BYTE *>(value),
                   (DWORD)strlen(value));
    RegFlushKey(key);
    RegCloseKey(key);
}

// Reads the printer's "SubKey" value; empty when it has none.
void ReadValue(const WCHAR *name, char *value)
{
    value[0] = 0;
    HANDLE printer = NULL;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, NULL))
        return;
    DWORD type = 0, needed = 0;
    if (GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type, (BYTE *)value, 64, &needed) !=
        ERROR_SUCCESS)
        GetPrinterDataExA(printer, "DsUser", "SubKey", &type, (BYTE *)value, 64, &needed);
    value[63] = 0;
    ClosePrinter(printer);
}

// One kept printer back: added, its value written and read back, its user key looked for, its
// comment and location set, its default status given back, its record removed.
void Recreate(const Kept &kept, const WCHAR *defaultName)
{
    ListMonitors();
    PRINTER_INFO_2W info = {};
    info.pPrinterName = kept.record->pPrinterName;
    info.pPortName = const_cast<LPWSTR>(STANDIN_MONITOR_NAME);
    info.pDriverName = const_cast<LPWSTR>(STANDIN_DRIVER_NAME);
    info.pComment = const_cast<LPWSTR>(L"");
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    HANDLE printer = AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info));
    if (!printer)
        return;
    BYTE *data = reinterpret_cast<BYTE *>(const_cast<char *>(kept.value));
    DWORD bytes = (DWORD)strlen(kept.value) + 1;
    SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, bytes);
    SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, bytes);
    char value[64];
    DWORD type = 0, needed = 0;
    GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type, (BYTE *)value, sizeof(value),
                    &needed);
    char path[256];
    _snprintf(path, sizeof(path), "%s\\%s%s", PRODUCT_USER_KEY, SUBKEY_PATH_PREFIX, kept.value);
    path[sizeof(path) - 1] = 0;
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "deleted");
        RegCloseKey(key);
    }
    needed = 0;
    GetPrinterW(printer, 2, NULL, 0, &needed);
    std::vector<BYTE> block(needed);
    if (needed && GetPrinterW(printer, 2, block.data(), needed, &needed)) {
        PRINTER_INFO_2W *current = reinterpret_cast<PRINTER_INFO_2W *>(block.data());
        current->pComment = kept.record->pComment;
        current->pLocation = kept.record->pLocation;
        SetPrinterW(printer, 2, block.data(), 0);
        static SetDefaultPrinterFunction setDefault =
            reinterpret_cast<SetDefaultPrinterFunction>(reinterpret_cast<void *>(
                GetProcAddress(GetModuleHandleW(L"winspool.drv"), MAKEINTRESOURCEA(204))));
        if (setDefault && wcscmp(kept.record->pPrinterName, defaultName) == 0)
            setDefault(current->pPrinterName);
    }
    ClosePrinter(printer);
    // The tool's own removal: nothing but its three calls.
    RemoveKeptRecord(kept.record->pPrinterName);
}

} // namespace

bool FloorKeepingInstall(const WCHAR *sourceDir)
{
    Folders folders;
    Snapshot snapshot;
    Context(&folders, &snapshot);
    HKEY records = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS_KEY, 0, KEY_QUERY_VALUE, &records) ==
        ERROR_SUCCESS)
        RegCloseKey(records);
    bool ok = ListMonitors() && ListDrivers();

    // Each printer of the product kept, written down and deleted.
    std::vector<Kept> kept;
    for (DWORD i = 0; i < snapshot.count; i++) {
        const PRINTER_INFO_2W *record = snapshot.at(i);
        if (!record->pDriverName || wcscmp(record->pDriverName, STANDIN_DRIVER_NAME) != 0)
            continue;
        Kept entry = {record, {}};
        ReadValue(record->pPrinterName, entry.value);
        if (entry.value[0]) {
            WriteRecord(record, entry.value);
            kept.push_back(entry);
        }
        ok = DeleteStandinPrinter(record->pPrinterName) && ok;
    }

    // The driver goes with its files; the compatible monitor stays.
    if (!DeleteStandinDriver(DPD_DELETE_ALL_FILES))
        ok = DeleteStandinDriver(0) && ok;
    WCHAR versionDir[MAX_PATH], file[MAX_PATH], monitor[MAX_PATH];
    Path(versionDir, folders.driver, L"3");
    for (const WCHAR *name : DRIVER_FILES) {
        Path(file, versionDir, name);
        DeleteFileW(file);
    }
    Path(monitor, folders.system, L"tvlmon64.dll");
    ReadVersion(monitor);

    for (const WCHAR *name : DRIVER_FILES)
        ok = Copy(sourceDir, folders.driver, name) && ok;
    ok = AddStandinDriver() && ok;
    for (const WCHAR *name : DRIVER_FILES) {
        Path(file, folders.driver, name);
        DeleteFileW(file);
    }
    // Back in the reverse order of the snapshot, as the tool's list runs.
    for (size_t i = kept.size(); i-- > 0;)
        Recreate(kept[i], snapshot.defaultName);
    if (kept.empty()) {
        ListMonitors();
        HANDLE printer = AddStandinPrinter(L"Zentavo", STANDIN_MONITOR_NAME, L"RAW");
        if (printer)
            ClosePrinter(printer);
        ok = printer != NULL && ok;
    }
    GetFileAttributesW(monitor);
    for (const WCHAR *name : DRIVER_FILES) {
        Path(file, versionDir, name);
        GetFileAttributesW(file);
    }
    return ok;
}
