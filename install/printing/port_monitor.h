// The port monitor "Zentavo:": registration, removal, and parking printers off its port.
#pragma once

#include <windows.h>

#include "services/spooler_queries.h"

struct SetupContext;

// A parked printer's port texts: the one it had (inside the context's printer snapshot) and
// the rewritten one the record points at while parked (owned, GlobalAlloc). The context's
// "detached" printers are the parked ones.
struct DetachedPort {
    WCHAR *originalPort;
    WCHAR *parkedPort;
};

// What RemovePortMonitor did.
enum MonitorRemoval {
    MONITOR_REMOVED,         // unregistered; its file deleted or listed for a later delete
    MONITOR_NOT_REGISTERED,  // nothing registered to remove; its file is left alone
    MONITOR_KEPT_REGISTERED, // a compatible build is registered: `installMonitor` cleared
    MONITOR_KEPT_FILE,       // a compatible build's file, unlisted: `copyMonitor` cleared
    MONITOR_NOT_REMOVED,     // the spooler kept it registered; reported
};

// Copies the DLL when `copyMonitor` is set, registers the monitor (5 attempts 50 ms apart) and
// moves the parked printers back to the port they had. True when the monitor is registered.
bool InstallPortMonitor(SetupContext *context);
// Unregisters the monitor and deletes its DLL, unless `checkMonitorVersion` finds a compatible
// build installed: then it clears `installMonitor` (registered) or `copyMonitor` (not). Printers
// on the port are parked on "file:" when the spooler refuses; they are moved back at once when
// the removal fails for good.
MonitorRemoval RemovePortMonitor(SetupContext *context, const MonitorList &list);
// Releases `detachedPrinters` and the parked port texts; safe when nothing is parked. Does not
// move the printers back.
void FreeDetachedPrinters(SetupContext *context);
