// SetupContext: the record of one install or uninstall command.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "counted_string.h"
#include "paths.h"
#include "product.h"
#include "services/file_copy.h"
#include "services/spooler_queries.h"
#include "printing/port_monitor.h"
#include "printing/printer_queues.h"

// Mode bits of InitSetupContext; other bits are ignored.
enum {
    SETUP_X64 = 2,
    SETUP_NO_TRAY = 4,
};

// The path buffers handed to the path calls: MAX_PATH declared, room for a backslash and NUL.
const DWORD SETUP_PATH_BUFFER = 264;

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
    LONG errorCount;
    LONG logDepth;
    PendingDelete *pendingDeletes;
    KeptSetting *keptSettings;
    PrinterList printers;
    PRINTER_INFO_2W **detachedPrinters; // null-terminated, points into `printers`
    DetachedPort *detachedPorts;        // the port texts of `detachedPrinters`, same order
};

// The module instance handed to the entry point; the log window and the module path use it.
extern HINSTANCE g_instance;

// Builds the context of one command: checks the spooler, selects the file set and reads the
// driver, module and system directories. True when each of these succeeded; false when one
// failed, reported (all but the module path). The context is usable, and freed, either way.
bool InitSetupContext(SetupContext *context, DWORD mode);
void FreeSetupContext(SetupContext *context);
// Whether `name` is the file name of a component of either file set (ASCII letters folded).
bool IsProductComponentName(const WCHAR *name);
