// The port monitor "Zentavo:": registration, removal, and parking printers off its port.
#pragma once

#include <windows.h>

#include "services/spooler_queries.h"

struct SetupContext;

// A parked printer's port texts: the one it had (inside the context's printer snapshot) and
// the rewritten one the record points at while parked (owned, GlobalAlloc).
struct DetachedPort {
    WCHAR *originalPort;
    WCHAR *parkedPort;
};

// Copies the DLL when `copyMonitor` is set, registers the monitor (5 attempts 50 ms apart) and
// moves the parked printers back to the port they had.
void InstallPortMonitor(SetupContext *context);
// Unregisters the monitor and deletes its DLL, unless `checkMonitorVersion` finds a compatible
// build installed. Printers on the port are parked on "file:" when the spooler refuses; they
// are moved back at once when the removal fails for good.
void RemovePortMonitor(SetupContext *context, const MonitorList &list);
// Releases `detachedPrinters` and the parked port texts; safe when nothing is parked.
void FreeDetachedPrinters(SetupContext *context);
