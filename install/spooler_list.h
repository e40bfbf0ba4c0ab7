// The holder of one spooler enumeration: the type of the context's printer snapshot.
#pragma once

#include <windows.h>
#include <winspool.h>

// A spooler enumeration: one zero-filled GlobalAlloc block holding `count` records of `level`
// and their strings, or no block and a count of 0.
struct SpoolerList {
    BYTE *buffer;
    DWORD level;
    DWORD count;
};
// MONITOR_INFO_2W records as loaded.
typedef SpoolerList MonitorList;
// DRIVER_INFO_6W records as loaded.
typedef SpoolerList DriverList;
// PRINTER_INFO_2W records: local printers and connections.
typedef SpoolerList PrinterList;

inline PRINTER_INFO_2W *PrinterAt(const PrinterList &list, DWORD i)
{
    return reinterpret_cast<PRINTER_INFO_2W *>(list.buffer) + i;
}
