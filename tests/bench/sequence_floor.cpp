// The floor of the sequence figures. The calls are those the tool makes on Wine for `in_notray`
// from a clean state and for `uninstall` after it, in the same order, each result taken as it
// comes; CopyFileW stands for the tool's own open, read and write of each file.
#include "sequence_floor.h"

#include <stdio.h>

#include <vector>

#include <winspool.h>

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

// What the context is built from: folders, the printers and the default one.
void Context(Folders *folders)
{
    QuerySpoolerService();
    DWORD needed = 0;
    GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT), 1, NULL, 0, &needed);
    GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT), 1,
                               reinterpret_cast<BYTE *>(folders->driver), sizeof(folders->driver),
                               &needed);
    GetSystemDirectoryW(folders->system, MAX_PATH);
    TwoCalls([](BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, buffer, size,
                             needed, count);
    });
    static GetDefaultPrinterFunction getDefault =
        reinterpret_cast<GetDefaultPrinterFunction>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"winspool.drv"), MAKEINTRESOURCEA(203))));
    WCHAR name[260];
    DWORD size = 260;
    if (getDefault)
        getDefault(name, &size);
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
