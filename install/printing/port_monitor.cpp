// The port monitor "Zentavo:": registration, removal, and parking printers off its port.
#include "port_monitor.h"

#include <wchar.h>

#include "paths.h"
#include "services/file_copy.h"
#include "services/spooler_service.h"
#include "setup_log.h"
#include "setup_record.h"

// Registration attempts and the pause before each one but the first.
static const int ADD_MONITOR_ATTEMPTS = 5;
static const DWORD ADD_MONITOR_PAUSE_MS = 50;

// A new GlobalAlloc text: `text` with the first occurrence of `find` replaced; null when
// `find` does not occur or the block cannot be taken.
static WCHAR *ReplaceFirst(const WCHAR *text, const WCHAR *find, const WCHAR *replacement)
{
    const WCHAR *hit = wcsstr(text, find);
    if (!hit)
        return NULL;
    size_t before = (size_t)(hit - text);
    size_t findLength = wcslen(find);
    size_t replacementLength = wcslen(replacement);
    size_t total = wcslen(text) - findLength + replacementLength;
    WCHAR *result = static_cast<WCHAR *>(GlobalAlloc(GPTR, (total + 1) * sizeof(WCHAR)));
    if (!result)
        return NULL;
    memcpy(result, text, before * sizeof(WCHAR));
    memcpy(result + before, replacement, replacementLength * sizeof(WCHAR));
    wcscpy(result + before + replacementLength, hit + findLength);
    return result;
}

// Gives the printer of a snapshot record the port `port`. The printer's current record is
// written back with only its port changed: the snapshot carries the default mark and may be
// stale, and writing it would change more than the port.
static void SetPrinterPort(SetupContext *context, const PRINTER_INFO_2W *record, WCHAR *port)
{
    const WCHAR *name = record->pPrinterName ? record->pPrinterName : L"*";
    HANDLE printer = NULL;
    PRINTER_DEFAULTSW defaults = {};
    defaults.DesiredAccess = PRINTER_ALL_ACCESS;
    // A null name would open the print server itself.
    if (!record->pPrinterName || !OpenPrinterW(record->pPrinterName, &printer, &defaults)) {
        LogLine(context, L"Can't open printer %s", name);
        return;
    }
    DWORD size = 0;
    PRINTER_INFO_2W *current = GetPrinterInfo2(printer, &size);
    BOOL done = FALSE;
    if (current) {
        current->pPortName = port;
        done = SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(current), 0);
        GlobalFree(current);
    }
    LogLine(context, done ? L"SetPrinter(%s) - ok" : L"SetPrinter(%s) - failed", name);
    ClosePrinter(printer);
}

void FreeDetachedPrinters(SetupContext *context)
{
    if (context->detachedPorts) {
        for (DetachedPort *port = context->detachedPorts; port->parkedPort; port++)
            GlobalFree(port->parkedPort);
        GlobalFree(context->detachedPorts);
    }
    if (context->detachedPrinters)
        GlobalFree(context->detachedPrinters);
    context->detachedPorts = NULL;
    context->detachedPrinters = NULL;
}

// Moves every printer of the monitor's port onto "file:", remembering its port text.
static void ParkPrinters(SetupContext *context)
{
    FreeDetachedPrinters(context);
    DWORD count = context->printers.buffer ? context->printers.count : 0;
    if (count == 0)
        return;
    context->detachedPrinters =
        static_cast<PRINTER_INFO_2W **>(GlobalAlloc(GPTR, (count + 1) * sizeof(PRINTER_INFO_2W *)));
    context->detachedPorts =
        static_cast<DetachedPort *>(GlobalAlloc(GPTR, (count + 1) * sizeof(DetachedPort)));
    if (!context->detachedPrinters || !context->detachedPorts) {
        // Without a place to remember the ports no printer is moved: none may lose its port.
        FreeDetachedPrinters(context);
        return;
    }
    DWORD parked = 0;
    for (DWORD i = 0; i < count; i++) {
        PRINTER_INFO_2W *record = PrinterAt(context->printers, i);
        // A connection's port belongs to its server's queue, not to this machine's monitor.
        if (!record->pPortName || !IsLocalPrinter(record))
            continue;
        WCHAR *parkedPort = ReplaceFirst(record->pPortName, MONITOR_NAME, PARKING_PORT);
        if (!parkedPort)
            continue;
        context->detachedPrinters[parked] = record;
        context->detachedPorts[parked].originalPort = record->pPortName;
        context->detachedPorts[parked].parkedPort = parkedPort;
        parked++;
        record->pPortName = parkedPort;
        SetPrinterPort(context, record, parkedPort);
    }
}

// Gives each parked printer back exactly the port text it had before it was parked.
static void MoveParkedPrintersBack(SetupContext *context)
{
    if (!context->detachedPrinters || !context->detachedPorts)
        return;
    for (DWORD i = 0; context->detachedPrinters[i]; i++) {
        PRINTER_INFO_2W *record = context->detachedPrinters[i];
        DetachedPort *port = &context->detachedPorts[i];
        if (record->pPortName != port->parkedPort)
            continue; // already back
        record->pPortName = port->originalPort;
        SetPrinterPort(context, record, port->originalPort);
    }
}

// Copies the monitor DLL into the system directory, once more with the spooler stopped when
// the first copy fails.
static void CopyMonitorFile(SetupContext *context)
{
    LogLine(context, L"Copy monitor file");
    const WCHAR *systemDir = StringText(context->systemDir);
    if (CopyProductFile(context, systemDir, context->monitorFile, NULL, false))
        return;
    // The spooler may hold the old DLL; its outcome shows in the next attempt's report.
    SpoolerRestart restart = BeginSpoolerRestart(context);
    CopyProductFile(context, systemDir, context->monitorFile, NULL, true);
    EndSpoolerRestart(&restart);
}

// Registers the monitor in up to ADD_MONITOR_ATTEMPTS attempts; when all fail, the last error
// is the last attempt's.
static bool RegisterMonitor(SetupContext *context)
{
    MONITOR_INFO_2W info = {};
    info.pName = const_cast<LPWSTR>(MONITOR_NAME);
    info.pEnvironment = const_cast<LPWSTR>(context->environment);
    info.pDLLName =
        const_cast<LPWSTR>(context->monitorFile); // the spooler adds the system directory
    DWORD lastError = 0;
    for (int attempt = 0; attempt < ADD_MONITOR_ATTEMPTS; attempt++) {
        if (attempt > 0)
            Sleep(ADD_MONITOR_PAUSE_MS);
        if (AddMonitorW(NULL, 2, reinterpret_cast<LPBYTE>(&info)))
            return true;
        lastError = GetLastError();
        LogLine(context, L"AddMonitor - failed. Trying to wait and install again");
    }
    SetLastError(lastError);
    return false;
}

bool InstallPortMonitor(SetupContext *context)
{
    LogLine(context, L">AddMonitor");
    LogSection section(context);

    if (context->copyMonitor)
        CopyMonitorFile(context);
    else
        LogLine(context, L"Skip copy monitor file");

    if (!RegisterMonitor(context)) {
        LogError(context, ERR_ADD_MONITOR, L"Can`t install a local port monitor'Zentavo:'");
        return false;
    }
    LogLine(context, L"AddMonitor - OK :)");
    MoveParkedPrintersBack(context);
    return true;
}

// Logs the monitors and finds the product's; `path` receives the monitor file's path in the
// system directory. The index of the product's entry, or -1.
static int LocateMonitor(SetupContext *context, const MonitorList &list, CountedString *path)
{
    bool hasEntries = list.buffer && list.count > 0;
    if (hasEntries)
        LogPortMonitors(context, list);
    else
        LogLine(context, L"BTW, there is no port monitors on this system.");

    int index = FindPortMonitor(list);
    if (index < 0)
        LogLine(context, L"No Zentavo port monitor was found.");
    else
        LogLine(context, L"Port monitor is found. Index=%d", index + 1);

    Assign(path, StringText(context->systemDir));
    const WCHAR *fileName = context->monitorFile;
    if (hasEntries && index >= 0) {
        LogLine(context, L"Trying to get monitor filename from MONITOR_INFO_2");
        // Anyone who can register a monitor names its DLL: only the product's own name is
        // believed, or this elevated tool would read and delete a system file such as the
        // spooler's own. A short (8.3) spelling counts as another name.
        const WCHAR *registered =
            list.level == 2 ? reinterpret_cast<MONITOR_INFO_2W *>(list.buffer)[index].pDLLName
                            : NULL;
        if (registered && fileName && EqualFoldingAscii(registered, fileName))
            fileName = registered;
    } else {
        LogLine(context, L"Computing monitor filename");
    }
    if (fileName && *fileName)
        Append(path, fileName);
    LogLine(context, L"Auto calculated monitor file name: %s", StringText(*path));
    return index;
}

// Whether the installed monitor is a compatible build that stays: one in (LAST_OLD_BUILD,
// BUILD_NUMBER], when the version is checked at all. A kept registered monitor is not
// registered again (`installMonitor` cleared), a kept unregistered file not copied again
// (`copyMonitor` cleared); the log shows both flags as they are then.
static bool KeepsCompatibleBuild(SetupContext *context, const WCHAR *path, int index)
{
    if (!context->checkMonitorVersion) {
        LogLine(context, L"There is no check for monitor version");
        return false;
    }
    // Without the system directory the path is a bare name that would resolve against the
    // current folder, often the tool's own: such a file is neither read nor deleted.
    LONG build = IsPlainAbsolutePath(path) ? GetFileBuild(path) : -1;
    if (build > LAST_OLD_BUILD && build <= BUILD_NUMBER) {
        LogLine(context, L"Version (%d) is compatible, proceed without uninstall", (int)build);
        if (index >= 0)
            context->installMonitor = 0;
        else
            context->copyMonitor = 0;
        LogLine(context, L"InstallMonitor == %d, CopyMonitor == %d", (int)context->installMonitor,
                (int)context->copyMonitor);
        return true;
    }
    if (build < 0)
        LogLine(context, L"Version is unknown, proceed with reinstall");
    else
        LogLine(context, L"Version (%d) is not supported, proceed with reinstall", (int)build);
    return false;
}

// Unregisters the monitor. When the spooler refuses, the printers on its port are parked and
// it is asked again, then once more after a restart; a refusal for good is reported and the
// parked printers are moved back.
static MonitorRemoval UnregisterMonitor(SetupContext *context, int index)
{
    if (CheckedDeleteMonitor(context->environment))
        return MONITOR_REMOVED;
    if (index < 0) {
        LogLine(context,
                L"Can't delete monitor and monitor was not found. So everything should be ok");
        return MONITOR_NOT_REGISTERED;
    }
    LogLine(context, L"Can't delete monitor from the first try");
    ParkPrinters(context);
    if (CheckedDeleteMonitor(context->environment))
        return MONITOR_REMOVED;
    SpoolerRestart restart = BeginSpoolerRestart(context);
    EndSpoolerRestart(&restart);
    if (CheckedDeleteMonitor(context->environment))
        return MONITOR_REMOVED;
    LogError(context, ERR_REMOVE_MONITOR, L"Can`t remove the port monitor 'Zentavo:'");
    // The monitor stays: a printer parked for its removal must not stay on "file:".
    MoveParkedPrintersBack(context);
    FreeDetachedPrinters(context);
    return MONITOR_NOT_REMOVED;
}

// Deletes the unregistered monitor's file now or lists it for later. Neither a bare name nor
// the system directory itself is ever deleted.
static void DeleteMonitorFile(SetupContext *context, const WCHAR *path)
{
    if (!DeleteOwnFile(path))
        AddPendingDelete(&context->pendingDeletes, path);
    LogLine(context, L"Monitor was removed :)");
}

MonitorRemoval RemovePortMonitor(SetupContext *context, const MonitorList &list)
{
    LogLine(context, L">DeleteMonitor");
    LogSection section(context);
    MonitorRemoval removal = MONITOR_NOT_REMOVED;
    CountedString path = NULL;

    int index = LocateMonitor(context, list, &path);
    if (KeepsCompatibleBuild(context, StringText(path), index)) {
        removal = index >= 0 ? MONITOR_KEPT_REGISTERED : MONITOR_KEPT_FILE;
        goto done;
    }
    removal = UnregisterMonitor(context, index);
    if (removal == MONITOR_REMOVED)
        DeleteMonitorFile(context, StringText(path));

done:
    FreeString(&path);
    return removal;
}
