// The reinstall and uninstall sequences: fixed orders of the component operations.
#include "flows/sequences.h"

#include "flows/tray.h"
#include "printing/port_monitor.h"
#include "printing/printer_driver.h"
#include "printing/printer_queues.h"
#include "services/file_copy.h"
#include "services/pending_renames.h"
#include "services/spooler_queries.h"
#include "services/spooler_service.h"
#include "setup_context.h"
#include "setup_log.h"

void UnInstall(SetupContext *context)
{
    LogLine(context, L">UnInstall");
    context->logDepth++;

    // A reinstall that will register the companion again keeps the file it is about to
    // register; the plain uninstall deletes it.
    CountedString keep = NULL;
    if (context->checkMonitorVersion && TrayWillBeRegistered(context))
        TrayCompanionPath(context, &keep);
    RemoveTray(keep ? StringText(keep) : NULL);
    FreeString(&keep);

    LogLine(context, L"EnumMonitors");
    MonitorList monitors = LoadMonitorList(context);
    LogLine(context, L"%d Monitors found.", (int)monitors.count);

    LogLine(context, L"EnumPrinterDrivers for %s", context->environment);
    DriverList drivers = LoadDriverList(context->environment);
    LogLine(context, L"%d drivers found", (int)drivers.count);

    // Printers before the driver, the driver before the monitor.
    DeleteProductPrinters(context);
    RemovePrinterDriver(context, drivers);
    RemovePortMonitor(context, monitors);

    if (context->pendingDeletes)
        RetryPendingDeletes(context);

    ReleaseDriverList(&drivers);
    ReleaseMonitorList(&monitors);
    context->logDepth--;
}

static void CarryOutPendingDeletions()
{
    PendingRenameTable table = LoadPendingRenameTable();
    ApplyPendingDeletions(&table);
    ReleasePendingRenameTable(&table);
}

// Retries the leftover deletes, and once more with the spooler stopped if some still resist.
static void RetryWithSpoolerRestart(SetupContext *context)
{
    if (!context->pendingDeletes)
        return;
    RetryPendingDeletes(context);
    if (!context->pendingDeletes)
        return;
    SpoolerRestart restart = BeginSpoolerRestart(context);
    RetryPendingDeletes(context);
    EndSpoolerRestart(&restart);
}

static bool FileExists(CountedString path)
{
    DWORD attributes = GetFileAttributesW(StringText(path));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// `directory` (which ends in a backslash) followed by `name`; empty without a directory.
static void PathIn(CountedString *path, CountedString directory, const WCHAR *name)
{
    FreeString(path);
    if (StringLength(directory)) {
        Assign(path, StringText(directory));
        Append(path, name);
    }
}

// An earlier uninstall may have left the monitor or driver files scheduled for deletion at the
// next boot; the same paths now hold the files this install put in place, and the boot must
// not take them.
static void KeepPlacedFilesAtReboot(SetupContext *context)
{
    // The monitor file is the one this run copied or the compatible one it kept and registered
    // again: either way the installed monitor needs it after the boot. The spooler keeps a
    // version-3 driver's files in the "3" folder of its directory.
    CountedString versionDir = NULL;
    PathIn(&versionDir, context->driverDir, L"3\\");
    CountedString placed[4] = {NULL, NULL, NULL, NULL};
    PathIn(&placed[0], context->systemDir, context->monitorFile);
    PathIn(&placed[1], versionDir, context->driverFile);
    PathIn(&placed[2], versionDir, context->uiFile);
    PathIn(&placed[3], versionDir, context->helpFile);

    const WCHAR *paths[4];
    int count = 0;
    for (CountedString &path : placed) {
        if (FileExists(path))
            paths[count++] = StringText(path);
    }
    if (count)
        ForgetPendingDeletions(paths, count);
    for (CountedString &path : placed)
        FreeString(&path);
    FreeString(&versionDir);
}

// The version check keeps a compatible monitor file in place, but the file may be one an earlier
// uninstall scheduled for deletion, which the clean-up has just carried out: without a copy the
// monitor would be registered with no DLL behind it.
static void RecopyMonitorTakenByCleanUp(SetupContext *context)
{
    if ((context->installMonitor && context->copyMonitor) || !StringLength(context->systemDir))
        return;
    CountedString path = NULL;
    PathIn(&path, context->systemDir, context->monitorFile);
    bool gone = !FileExists(path);
    FreeString(&path);
    if (!gone)
        return;
    if (context->installMonitor)
        context->copyMonitor = 1;
    else
        CopyProductFile(context, StringText(context->systemDir), context->monitorFile, NULL, true);
}

void ReInstall(SetupContext *context)
{
    LogLine(context, L">ReInstall");
    context->logDepth += 2;
    context->checkMonitorVersion = 1;

    UnInstall(context);

    // What the removal could not delete is retried once with the spooler stopped, then
    // dropped: the install below puts new files in place and needs no reboot for the old.
    if (context->pendingDeletes) {
        SpoolerRestart restart = BeginSpoolerRestart(context);
        RetryPendingDeletes(context);
        FreePendingDeleteList(context->pendingDeletes);
        context->pendingDeletes = NULL;
        EndSpoolerRestart(&restart);
    }
    CarryOutPendingDeletions();
    RecopyMonitorTakenByCleanUp(context);

    if (context->installMonitor)
        InstallPortMonitor(context);
    InstallPrinterDriver(context);
    RestoreKeptPrinters(context);
    RegisterTray(context);

    RetryWithSpoolerRestart(context);
    KeepPlacedFilesAtReboot(context);

    context->logDepth -= 2;
}

void FullUninstall(SetupContext *context)
{
    UnInstall(context);
    CarryOutPendingDeletions();
    RetryWithSpoolerRestart(context);
}
