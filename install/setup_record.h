// SetupContext: the record of one install or uninstall command, data only. The operations that
// fill its lists declare their node types; InitSetupContext builds it (setup_context.h).
#pragma once

#include <windows.h>
#include <winspool.h>

#include "counted_string.h"
#include "spooler_list.h"

struct PendingDelete; // services/file_copy.h
struct KeptSetting;   // printing/printer_queues.h
struct DetachedPort;  // printing/port_monitor.h

struct SetupContext {
    CountedString moduleDir; // with its trailing separator
    CountedString systemDir; // with a trailing backslash
    CountedString logText;
    CountedString driverDir; // with a trailing backslash
    const WCHAR *environment;
    const WCHAR *monitorFile;
    const WCHAR *driverFile;
    const WCHAR *helpFile;
    const WCHAR *uiFile;
    BYTE checkMonitorVersion;
    BYTE installMonitor;
    BYTE installTray;
    BYTE copyMonitor;
    // The spooler's start type is Disabled, an administrator's choice: it is not started, and
    // nothing that needs it is changed.
    BYTE spoolerDisabled;
    // The spooler was stopped when the command began and this run started it; it is stopped
    // again unless the product was installed.
    BYTE spoolerWasStopped;
    LONG errorCount;
    LONG logDepth;
    PendingDelete *pendingDeletes;
    KeptSetting *keptSettings;
    PrinterList printers;
    // The printers parked on "file:" while the monitor is removed ("detached" and "parked" are
    // the same printers): null-terminated, points into `printers`.
    PRINTER_INFO_2W **detachedPrinters;
    DetachedPort *detachedPorts; // the port texts of `detachedPrinters`, same order
};
