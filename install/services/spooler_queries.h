// Spooler enumerations into owned holders, checked spooler calls, and the file build query.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "spooler_list.h"

struct SetupContext;

// The build (fourth number of the product version) of a file, or -1 when unknown.
LONG GetFileBuild(const WCHAR *path);

MonitorList LoadMonitorList(SetupContext *context);
DriverList LoadDriverList(const WCHAR *environment);
// Releases the holder's old block, then enumerates local printers and connections (level 2).
void RefreshPrinterList(PrinterList *list);
// Frees the block and leaves the holder empty; safe on an empty holder.
void ReleaseSpoolerList(SpoolerList *list);

// A PRINTER_INFO_2W block (GlobalFree it) and its size, or null.
PRINTER_INFO_2W *GetPrinterInfo2(HANDLE printer, DWORD *size);
// A DRIVER_INFO_2W block (GlobalFree it), or null.
DRIVER_INFO_2W *GetPrinterDriverInfo2(HANDLE printer);

// The default printer through winspool's ordinals 203 and 204: GetDefaultPrinterW and
// SetDefaultPrinterW, which it exports by name as well. The query fills `buffer` (`size` characters
// in, needed characters out); false on failure.
BOOL QueryDefaultPrinter(WCHAR *buffer, DWORD *size);
// Makes the named printer the user's default; the result is the setter's own.
BOOL SetDefaultPrinterByName(const WCHAR *name);

// The checked calls return the spooler's own result and make no further system call on
// failure, so the last error still holds the spooler's reason for the caller's report.
BOOL CheckedClosePrinter(HANDLE printer);            // only forwards to ClosePrinter
HANDLE CheckedAddPrinter(PRINTER_INFO_2W *info);     // only forwards: AddPrinterW, level 2
BOOL CheckedDeletePrinter(HANDLE printer);           // purges the queue, then DeletePrinter
BOOL CheckedAddPrinterDriver(DRIVER_INFO_6W *info);  // only forwards: level 6, all files copied
BOOL CheckedDeleteMonitor(const WCHAR *environment); // only forwards, for "Zentavo:"

// Whether a printer's driver name is exactly the product driver's (case-sensitive, whole).
bool IsProductDriver(const WCHAR *driverName);
// A printer of this machine, not a connection to another server's queue.
bool IsLocalPrinter(const PRINTER_INFO_2W *record);
// Index of the first entry named exactly "Zentavo:" in a level 1 or 2 list, or -1.
int FindPortMonitor(const MonitorList &list);

// The name of entry `i` of a list by the list's level; null for an unknown level.
typedef const WCHAR *(*SpoolerNameAt)(const SpoolerList &list, DWORD i);
// Index of the first entry whose name is exactly `name` (case-sensitive, whole), or -1.
int FindSpoolerName(const SpoolerList &list, SpoolerNameAt nameAt, const WCHAR *name);
// Writes the entries' names into the log, numbered from 1 and "***EMPTY***" for a missing
// name, between `heading` (a format taking the count) and `rule`.
void LogSpoolerNames(SetupContext *context, const SpoolerList &list, const WCHAR *heading,
                     const WCHAR *rule, SpoolerNameAt nameAt);
// Writes the monitors' names into the log.
void LogPortMonitors(SetupContext *context, const MonitorList &list);
