// spoolctl.exe COMMAND ARGS: one raw spooler call on the stand-ins, for scenario scripts.
//
//   addmonitor [DLL]            AddMonitorW "Zentavo:" with DLL (default tvlmon64.dll)
//   delmonitor                  DeleteMonitorW "Zentavo:"
//   adddriver [NAME DRV CFG HLP]  AddPrinterDriverExW "Zentavo printer" (or NAME with the files
//                               DRV, CFG, HLP) from the driver folder
//   deldriver [FLAGS]           DeletePrinterDriverExW with delete flags (default 0)
//   addprinter NAME [PORT [DATATYPE [DRIVER]]]  AddPrinterW on PORT (default "Zentavo:") with
//                               DATATYPE (default "RAW"; "-" leaves it null) and DRIVER (default
//                               "Zentavo printer")
//   delprinter NAME             purge and DeletePrinter
//   subkey NAME VALUE [WHERE]   narrow "SubKey": plain, dsuser or both (default)
//   setinfo NAME COMMENT LOCATION   SetPrinterW level 2 with a new comment and location
//   default NAME                make NAME the default printer (winspool ordinal 204)
//   deletelater PATH            MoveFileExW(PATH, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)
//   delete PATH                 DeleteFileW (a Unix-side delete would ignore Windows locks)
//
// Prints "ok" or "failed N" (N the last error, which Wine may leave at 0) and exits 0 or 1;
// 2 for a usage error.
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>
#include <winspool.h>

#include "spool_calls.h"

namespace {

typedef BOOL(WINAPI *SetDefaultPrinterFunction)(LPCWSTR);

const WCHAR FOREIGN_DRIVER_NAME[] = L"Foreign printer";

void Print(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

int Report(BOOL ok)
{
    DWORD error = GetLastError();
    if (ok) {
        Print("ok\n");
        return 0;
    }
    char line[40];
    _snprintf(line, sizeof(line), "failed %lu\n", error);
    line[sizeof(line) - 1] = 0;
    Print(line);
    return 1;
}

int Usage()
{
    Print("usage: spoolctl addmonitor [DLL] | delmonitor | adddriver [NAME DRV CFG HLP] |\n"
          "  deldriver [FLAGS] | addprinter NAME [PORT [DATATYPE|- [DRIVER]]] | delprinter NAME | "
          "subkey NAME VALUE "
          "[plain|dsuser|both] |\n"
          "  setinfo NAME COMMENT LOCATION | default NAME | deletelater PATH | delete PATH\n");
    return 2;
}

HANDLE OpenForAdmin(const WCHAR *name)
{
    PRINTER_DEFAULTSW defaults = {};
    defaults.DesiredAccess = PRINTER_ALL_ACCESS;
    HANDLE printer = NULL;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults))
        return NULL;
    return printer;
}

BOOL SetSubKey(const WCHAR *name, const WCHAR *value, const WCHAR *where)
{
    int places = 3;
    if (where != NULL)
        places = lstrcmpW(where, L"plain") == 0 ? 1 : lstrcmpW(where, L"dsuser") == 0 ? 2 : 3;
    char narrow[256];
    if (!WideCharToMultiByte(CP_ACP, 0, value, -1, narrow, sizeof(narrow), NULL, NULL))
        return FALSE;
    HANDLE printer = OpenForAdmin(name);
    if (printer == NULL)
        return FALSE;
    BOOL ok = SetStandinSubKey(printer, narrow, places);
    DWORD error = GetLastError();
    ClosePrinter(printer);
    SetLastError(error);
    return ok;
}

BOOL SetCommentAndLocation(const WCHAR *name, const WCHAR *comment, const WCHAR *location)
{
    HANDLE printer = OpenForAdmin(name);
    if (printer == NULL)
        return FALSE;
    DWORD needed = 0;
    GetPrinterW(printer, 2, NULL, 0, &needed);
    BOOL ok = FALSE;
    BYTE *buffer = needed != 0 ? static_cast<BYTE *>(calloc(1, needed)) : NULL;
    if (buffer != NULL && GetPrinterW(printer, 2, buffer, needed, &needed)) {
        PRINTER_INFO_2W *info = reinterpret_cast<PRINTER_INFO_2W *>(buffer);
        info->pComment = const_cast<LPWSTR>(comment);
        info->pLocation = const_cast<LPWSTR>(location);
        ok = SetPrinterW(printer, 2, buffer, 0);
    }
    DWORD error = GetLastError();
    free(buffer);
    ClosePrinter(printer);
    SetLastError(error);
    return ok;
}

BOOL SetDefault(const WCHAR *name)
{
    HMODULE winspool = GetModuleHandleW(L"winspool.drv");
    SetDefaultPrinterFunction setDefault =
        winspool != NULL ? reinterpret_cast<SetDefaultPrinterFunction>(reinterpret_cast<void *>(
                               GetProcAddress(winspool, MAKEINTRESOURCEA(204))))
                         : NULL;
    if (setDefault == NULL)
        return FALSE;
    return setDefault(name);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return Usage();
    const WCHAR *command = argv[1];
    const WCHAR *first = argc > 2 ? argv[2] : NULL;
    const WCHAR *second = argc > 3 ? argv[3] : NULL;
    const WCHAR *third = argc > 4 ? argv[4] : NULL;
    const WCHAR *fourth = argc > 5 ? argv[5] : NULL;
    SetLastError(0);
    if (lstrcmpW(command, L"addmonitor") == 0)
        return Report(AddStandinMonitor(first != NULL ? first : L"tvlmon64.dll"));
    if (lstrcmpW(command, L"delmonitor") == 0)
        return Report(DeleteStandinMonitor());
    if (lstrcmpW(command, L"adddriver") == 0 && fourth != NULL)
        return Report(AddStandinDriver(first, second, third, fourth));
    if (lstrcmpW(command, L"adddriver") == 0)
        return Report(AddStandinDriver());
    if (lstrcmpW(command, L"deldriver") == 0)
        return Report(DeleteStandinDriver(first != NULL ? wcstoul(first, NULL, 0) : 0));
    if (lstrcmpW(command, L"addprinter") == 0 && first != NULL) {
        const WCHAR *datatype = third == NULL ? L"RAW" : lstrcmpW(third, L"-") == 0 ? NULL : third;
        HANDLE printer = AddStandinPrinter(first, second != NULL ? second : STANDIN_MONITOR_NAME,
                                           datatype, fourth != NULL ? fourth : STANDIN_DRIVER_NAME);
        DWORD error = GetLastError();
        if (printer != NULL)
            ClosePrinter(printer);
        SetLastError(error);
        return Report(printer != NULL);
    }
    if (lstrcmpW(command, L"delprinter") == 0 && first != NULL)
        return Report(DeleteStandinPrinter(first));
    if (lstrcmpW(command, L"subkey") == 0 && second != NULL)
        return Report(SetSubKey(first, second, third));
    if (lstrcmpW(command, L"setinfo") == 0 && third != NULL)
        return Report(SetCommentAndLocation(first, second, third));
    if (lstrcmpW(command, L"default") == 0 && first != NULL)
        return Report(SetDefault(first));
    if (lstrcmpW(command, L"deletelater") == 0 && first != NULL)
        return Report(MoveFileExW(first, NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    if (lstrcmpW(command, L"delete") == 0 && first != NULL)
        return Report(DeleteFileW(first));
    return Usage();
}
