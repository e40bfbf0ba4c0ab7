// Spooler enumerations into owned holders, checked spooler calls, and the file build query.
#pragma once

#include <windows.h>
#include <winspool.h>

struct SetupContext;

// Each holder owns one zero-filled GlobalAlloc block holding the records and their strings.
struct MonitorList {
    BYTE *buffer;
    DWORD level; // 2 as loaded
    DWORD count;
};

struct DriverList {
    BYTE *buffer;
    DWORD level; // 6 as loaded
    DWORD count;
};

struct PrinterList {
    BYTE *buffer; // PRINTER_INFO_2W records
    DWORD count;
};

inline PRINTER_INFO_2W *PrinterAt(const PrinterList &list, DWORD i)
{
    return reinterpret_cast<PRINTER_INFO_2W *>(list.buffer) + i;
}

// Frees the block and leaves the holder empty; safe on an empty holder.
void ReleasePrinterList(PrinterList *list);
