// The raw spooler calls of one install and uninstall of the stand-ins, without the setup tool.
#include "spool_calls.h"

#include <stdio.h>
#include <string.h>

#include <winspool.h>

const WCHAR STANDIN_MONITOR_NAME[] = L"Zentavo:";
const WCHAR STANDIN_DRIVER_NAME[] = L"Zentavo printer";
const WCHAR STANDIN_ENVIRONMENT[] = L"Windows x64";

BOOL AddStandinMonitor(const WCHAR *dllName)
{
    MONITOR_INFO_2W info = {};
    info.pName = const_cast<LPWSTR>(STANDIN_MONITOR_NAME);
    info.pEnvironment = const_cast<LPWSTR>(STANDIN_ENVIRONMENT);
    info.pDLLName = const_cast<LPWSTR>(dllName);
    return AddMonitorW(NULL, 2, reinterpret_cast<LPBYTE>(&info));
}

BOOL DeleteStandinMonitor()
{
    return DeleteMonitorW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT),
                          const_cast<LPWSTR>(STANDIN_MONITOR_NAME));
}

BOOL AddStandinDriver(const WCHAR *name, const WCHAR *driverFile, const WCHAR *configFile,
                      const WCHAR *helpFile)
{
    WCHAR dir[MAX_PATH];
    DWORD needed = 0;
    if (!GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT), 1,
                                    reinterpret_cast<LPBYTE>(dir), sizeof(dir), &needed))
        return FALSE;
    WCHAR driver[MAX_PATH], config[MAX_PATH], help[MAX_PATH];
    _snwprintf(driver, MAX_PATH, L"%s\\%s", dir, driverFile);
    _snwprintf(config, MAX_PATH, L"%s\\%s", dir, configFile);
    _snwprintf(help, MAX_PATH, L"%s\\%s", dir, helpFile);
    driver[MAX_PATH - 1] = config[MAX_PATH - 1] = help[MAX_PATH - 1] = 0;

    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(name);
    info.pEnvironment = const_cast<LPWSTR>(STANDIN_ENVIRONMENT);
    info.pDriverPath = driver;
    info.pDataFile = driver;
    info.pConfigFile = config;
    info.pHelpFile = help;
    info.pszMfgName = const_cast<LPWSTR>(L"Tovalin Software Kft.");
    info.pszProvider = const_cast<LPWSTR>(L"Tovalin Software Kft.");
    return AddPrinterDriverExW(NULL, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES);
}

BOOL DeleteStandinDriver(DWORD deleteFlags)
{
    return DeletePrinterDriverExW(NULL, const_cast<LPWSTR>(STANDIN_ENVIRONMENT),
                                  const_cast<LPWSTR>(STANDIN_DRIVER_NAME), deleteFlags, 0);
}

HANDLE AddStandinPrinter(const WCHAR *name, const WCHAR *port, const WCHAR *datatype,
                         const WCHAR *driver)
{
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(port);
    info.pDriverName = const_cast<LPWSTR>(driver);
    info.pComment = const_cast<LPWSTR>(L"");
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(datatype);
    return AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info));
}

BOOL DeleteStandinPrinter(const WCHAR *name)
{
    PRINTER_DEFAULTSW defaults = {};
    defaults.DesiredAccess = DELETE | PRINTER_ACCESS_ADMINISTER;
    HANDLE printer = NULL;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults))
        return FALSE;
    // Wine refuses the purge (error 124); like the setup tool, delete whatever it answered.
    SetPrinterW(printer, 0, NULL, PRINTER_CONTROL_PURGE);
    BOOL deleted = DeletePrinter(printer);
    DWORD error = GetLastError();
    ClosePrinter(printer);
    SetLastError(error);
    return deleted;
}

BOOL SetStandinSubKey(HANDLE printer, const char *value, int where)
{
    DWORD size = (DWORD)strlen(value) + 1;
    BYTE *data = reinterpret_cast<BYTE *>(const_cast<char *>(value));
    DWORD result = ERROR_SUCCESS;
    if (where & 1)
        result = SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, size);
    if (result == ERROR_SUCCESS && (where & 2))
        result = SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, size);
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

double NowMs()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}
