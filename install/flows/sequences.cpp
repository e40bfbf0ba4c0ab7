// The reinstall and uninstall sequences: fixed orders of the component operations.
#include "flows/sequences.h"

#include "flows/probes.h"
#include "flows/tray.h"
#include "printing/kept_printers.h"
#include "printing/port_monitor.h"
#include "printing/printer_driver.h"
#include "printing/printer_queues.h"
#include "services/file_copy.h"
#include "services/folder_security.h"
#include "services/machine_check.h"
#include "services/pending_renames.h"
#include "services/spooler_queries.h"
#include "services/spooler_service.h"
#include "setup_log.h"
#include "setup_record.h"

// A reinstall that will register the companion again keeps the file it is about to register;
// the plain uninstall deletes it.
static void RemoveTrayOfThisRun(SetupContext *context, bool reinstall)
{
    CountedString keep = NULL;
    if (reinstall && TrayWillBeRegistered(context))
        TrayCompanionPath(context, &keep);
    RemoveTray(keep ? StringText(keep) : NULL);
    FreeString(&keep);
}

// Removes the product's printers, driver, monitor and tray companion; `reinstall` when the
// install follows in this run.
static void UnInstall(SetupContext *context, bool reinstall)
{
    LogLine(context, L">UnInstall");
    LogSection section(context);

    RemoveTrayOfThisRun(context, reinstall);

    LogLine(context, L"EnumMonitors");
    MonitorList monitors = LoadMonitorList(context);
    LogLine(context, L"%d Monitors found.", (int)monitors.count);

    LogLine(context, L"EnumPrinterDrivers for %s", context->environment);
    DriverList drivers = LoadDriverList(context->environment);
    LogLine(context, L"%d drivers found", (int)drivers.count);

    // Printers before the driver, the driver before the monitor.
    DeleteProductPrinters(context);
    RemovePrinterDriver(context, drivers);
    // A compatible monitor that stays clears `installMonitor` or `copyMonitor`.
    RemovePortMonitor(context, monitors);

    if (context->pendingDeletes)
        RetryPendingDeletes(context);

    ReleaseSpoolerList(&drivers);
    ReleaseSpoolerList(&monitors);
}

// Retries the leftover deletes, and once more with the spooler stopped if some still resist.
static void RetryWithSpoolerRestart(SetupContext *context)
{
    if (!context->pendingDeletes || RetryPendingDeletes(context))
        return;
    SpoolerRestart restart = BeginSpoolerRestart(context);
    RetryPendingDeletes(context);
    EndSpoolerRestart(&restart);
}

// What the removal could not delete is retried once with the spooler stopped, then dropped: the
// install puts new files in place and needs no reboot for the old.
static void RetryThenDropRemovalLeftovers(SetupContext *context)
{
    if (!context->pendingDeletes)
        return;
    SpoolerRestart restart = BeginSpoolerRestart(context);
    RetryPendingDeletes(context);
    FreePendingDeleteList(context->pendingDeletes);
    context->pendingDeletes = NULL;
    EndSpoolerRestart(&restart);
}

// `name` in `directory`; empty without a directory, never a bare name.
static void PathIn(CountedString *path, CountedString directory, const WCHAR *name)
{
    FreeString(path);
    if (StringLength(directory))
        JoinPath(path, StringText(directory), name);
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
    PathIn(&versionDir, context->driverDir, DRIVER_VERSION_FOLDER);
    CountedString placed[4] = {NULL, NULL, NULL, NULL};
    PathIn(&placed[0], context->systemDir, context->monitorFile);
    PathIn(&placed[1], versionDir, context->driverFile);
    PathIn(&placed[2], versionDir, context->uiFile);
    PathIn(&placed[3], versionDir, context->helpFile);

    const WCHAR *paths[4];
    int count = 0;
    for (CountedString &path : placed) {
        if (FileExists(StringText(path)))
            paths[count++] = StringText(path);
    }
    // Left scheduled, the boot would delete what this install just put in place.
    if (count && ForgetPendingDeletions(paths, count) < 0)
        LogError(context, ERR_KEEP_PLACED_FILES,
                 L"Can`t keep the installed files from the deletion at reboot");
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
    bool gone = !FileExists(StringText(path));
    FreeString(&path);
    if (!gone)
        return;
    if (context->installMonitor)
        context->copyMonitor = 1;
    else
        CopyProductFile(context, StringText(context->systemDir), context->monitorFile, NULL, true);
}

// Whether both destination folders are known; each one that is not is reported.
static bool DestinationFoldersKnown(SetupContext *context)
{
    bool known = true;
    if (!StringLength(context->systemDir)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        LogError(context, ERR_SYSTEM_DIRECTORY, L"Can`t retrieve system directory.");
        known = false;
    }
    if (!StringLength(context->driverDir)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        known = false;
    }
    return known;
}

// Whether the component file opens for reading in the tool's folder; reported when it does not.
static bool SourceFileOpens(SetupContext *context, const WCHAR *file)
{
    CountedString path = NULL;
    PathIn(&path, context->moduleDir, file);
    HANDLE source = INVALID_HANDLE_VALUE;
    if (StringLength(path))
        source = CreateFileW(StringText(path), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             0, NULL);
    else
        SetLastError(ERROR_PATH_NOT_FOUND);
    bool opens = source != INVALID_HANDLE_VALUE;
    if (opens)
        CloseHandle(source);
    else
        LogError(context, ERR_OPEN_SOURCE, L"Cant't open source file: %s",
                 StringLength(path) ? StringText(path) : file);
    FreeString(&path);
    return opens;
}

// Whether the tool's folders are its own, so that what it removes and copies from them is the
// product's; logged when not.
static bool FoldersAllowRemoval(SetupContext *context)
{
    if (ProductFoldersTrusted(context))
        return true;
    LogLine(context, L"Nothing is removed: others can change the tool's folders");
    return false;
}

// Whether this run may change anything at all: the spooler may be changed and the tool's folders
// are its own. Both are asked, so that one run names every reason.
static bool ChangesAllowed(SetupContext *context)
{
    bool spooler = SpoolerAllowsChanges(context);
    return FoldersAllowRemoval(context) && spooler;
}

// Whether the install can happen at all: the machine takes the product, the four component files
// can be read from the tool's folder, both destination folders are known and every product
// printer can be written down. Each failure gets the report the failing step would have written;
// the removal must not start when the install cannot follow it.
static bool InstallCanHappen(SetupContext *context)
{
    bool can = NativeMachineIsX64(context);
    can = ProtectedPrintModeOff(context) && can;
    can = DestinationFoldersKnown(context) && can;
    const WCHAR *files[4] = {context->monitorFile, context->driverFile, context->uiFile,
                             context->helpFile};
    for (const WCHAR *file : files) {
        if (!SourceFileOpens(context, file))
            can = false;
    }
    // A printer that cannot be written down would be neither kept nor deleted, and its driver
    // would stay in use.
    if (!KeptPrintersCanBeWrittenDown(context))
        can = false;
    return can;
}

bool ReInstall(SetupContext *context)
{
    LogLine(context, L">ReInstall");
    LogSection section(context, REINSTALL_SECTION_STEP);
    LONG errorsBefore = context->errorCount;
    if (!ChangesAllowed(context)) {
        StopSpoolerAsFound(context);
        return false;
    }
    if (!InstallCanHappen(context)) {
        LogLine(context, L"Nothing is removed: the install could not follow");
        StopSpoolerAsFound(context);
        return false;
    }
    context->checkMonitorVersion = 1;

    UnInstall(context, true);
    RetryThenDropRemovalLeftovers(context);
    CarryOutPendingDeletions();
    RecopyMonitorTakenByCleanUp(context);

    // A kept compatible monitor is registered already.
    bool monitorInstalled = context->installMonitor ? InstallPortMonitor(context) : true;
    bool driverInstalled = InstallPrinterDriver(context);
    RestoreKeptPrinters(context);
    // A companion of printers that cannot print would only mislead its user.
    if (monitorInstalled && driverInstalled)
        RegisterTray(context);
    else if (TrayWillBeRegistered(context))
        LogLine(context, L"The companion is not started: the port monitor or the printer driver "
                         L"is not installed");

    RetryWithSpoolerRestart(context);
    KeepPlacedFilesAtReboot(context);
    if (context->spoolerWasStopped)
        LogLine(context, L"The spooler was stopped before this install: it stays running, the "
                         L"product's printers need it");
    return context->errorCount == errorsBefore;
}

bool FullUninstall(SetupContext *context)
{
    LONG errorsBefore = context->errorCount;
    if (ChangesAllowed(context)) {
        UnInstall(context, false);
        // The printers are gone for good: nothing is left to re-create.
        ForgetKeptRecords();
        CarryOutPendingDeletions();
        RetryWithSpoolerRestart(context);
    }
    // As it was found: nothing of the product needs it any more, or nothing was changed.
    StopSpoolerAsFound(context);
    return context->errorCount == errorsBefore;
}
