// The raw spooler calls that an install of the product makes, without the setup tool: for
// scenarios that need the stand-ins registered, and as the floor of the benchmark.
#pragma once

#include <windows.h>

extern const WCHAR STANDIN_MONITOR_NAME[]; // "Zentavo:", also the port
extern const WCHAR STANDIN_DRIVER_NAME[];  // "Zentavo printer"
extern const WCHAR STANDIN_ENVIRONMENT[];  // "Windows x64"

// AddMonitorW level 2 with `dllName` (a bare name: the spooler loads it from the system folder).
BOOL AddStandinMonitor(const WCHAR *dllName);
BOOL DeleteStandinMonitor();
// AddPrinterDriverExW level 6, version 3, with the three files as they lie in the printer driver
// folder (staged there beforehand) and APD_COPY_ALL_FILES.
BOOL AddStandinDriver();
// The stand-in driver's files registered under another name: a driver that is not the product's.
BOOL AddStandinDriverAs(const WCHAR *driverName);
// DeletePrinterDriverExW with the given delete flags (version flag 0).
BOOL DeleteStandinDriver(DWORD deleteFlags);
// AddPrinterW level 2 on `port` with the product driver and print processor "WinPrint"; returns
// the open printer or null. Wine's spooler needs a datatype (Windows defaults a null one to
// "RAW"): without one it registers the printer but cannot open it, and fails with 1801.
HANDLE AddStandinPrinter(const WCHAR *name, const WCHAR *port, const WCHAR *datatype);
HANDLE AddStandinPrinterOn(const WCHAR *name, const WCHAR *port, const WCHAR *datatype,
                           const WCHAR *driverName);
// Purges (result not examined) and deletes a printer opened with delete and administer rights.
BOOL DeleteStandinPrinter(const WCHAR *name);
// Writes the narrow "SubKey" value: `where` 1 the printer's driver data, 2 the "DsUser" key,
// 3 both. Returns whether every write asked for succeeded.
BOOL SetStandinSubKey(HANDLE printer, const char *value, int where);

// Milliseconds since an arbitrary start, with sub-millisecond resolution.
double NowMs();
