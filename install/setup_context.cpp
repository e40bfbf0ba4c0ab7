// Building and releasing the SetupContext of one install or uninstall command.
#include "setup_context.h"

#include <string.h>

#include "paths.h"
#include "printing/port_monitor.h"
#include "printing/printer_queues.h"
#include "product.h"
#include "services/file_copy.h"
#include "services/spooler_queries.h"
#include "services/spooler_service.h"
#include "setup_log.h"

HINSTANCE g_instance;

// The spooler's driver directory for the context's environment, with a trailing backslash;
// false, reported, when the spooler cannot tell it.
static bool ReadDriverDirectory(SetupContext *context)
{
    bool ok = false;
    DWORD needed = 0;
    WCHAR *directory = NULL;
    LPWSTR environment = const_cast<LPWSTR>(context->environment);

    if (!GetPrinterDriverDirectoryW(NULL, environment, 1, NULL, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        return false;
    }
    // Two spare zero bytes keep the text terminated whatever the spooler writes.
    directory = static_cast<WCHAR *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)needed + sizeof(WCHAR)));
    if (!directory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        return false;
    }
    if (!GetPrinterDriverDirectoryW(NULL, environment, 1, reinterpret_cast<LPBYTE>(directory),
                                    needed, &needed)) {
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        goto done;
    }
    LogLine(context, L"PrinterDriverDirectory(1):%s", directory);
    // An empty name leaves the directory with its trailing backslash.
    JoinPath(&context->driverDir, directory, L"");
    LogLine(context, L"PrinterDriverDirectory(2):%s", StringText(context->driverDir));
    ok = true;

done:
    HeapFree(GetProcessHeap(), 0, directory);
    return ok;
}

// The file names and environment of one file set.
static void SelectFileSet(SetupContext *context, bool x64)
{
    const WCHAR *const *files = FILE_SETS[x64 ? 1 : 0];
    context->environment = ENVIRONMENTS[x64 ? 1 : 0];
    context->monitorFile = files[0];
    context->driverFile = files[1];
    context->uiFile = files[2];
    context->helpFile = files[3];
}

// The tool's own folder with its separator; false when it is not known (nothing is reported).
static bool ReadModuleDirectory(SetupContext *context)
{
    WCHAR path[SETUP_PATH_BUFFER];
    // A path that fills the declared buffer was cut: it is no path, and moduleDir stays empty.
    DWORD length = GetModuleFileNameW(g_instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    DirectoryWithSeparator(&context->moduleDir, path);
    return StringLength(context->moduleDir) != 0;
}

// The system directory with a trailing backslash; false, reported, when it is not known.
static bool ReadSystemDirectory(SetupContext *context)
{
    WCHAR path[SETUP_PATH_BUFFER];
    DWORD length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        // A longer directory would be a cut path: report it like a failed call.
        if (length != 0)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogError(context, ERR_SYSTEM_DIRECTORY, L"Can`t retrieve system directory.");
        return false;
    }
    JoinPath(&context->systemDir, path, L"");
    return true;
}

bool InitSetupContext(SetupContext *context, DWORD mode)
{
    memset(context, 0, sizeof(*context));

    LogLine(context, L"Zentavo %d", BUILD_NUMBER);

    context->checkMonitorVersion = 0;
    context->installMonitor = 1;
    context->installTray = (mode & SETUP_NO_TRAY) ? 0 : 1;
    context->copyMonitor = 1;

    // Each step's failure reaches the log as a report; building the context goes on regardless.
    bool ok = CheckSpooler(context);
    SelectFileSet(context, (mode & SETUP_X64) != 0);
    // A disabled spooler answers no call on Windows, and the command changes nothing then: only
    // the refusal is reported, not every question it could not answer.
    if (!context->spoolerDisabled)
        ok = ReadDriverDirectory(context) && ok;
    context->detachedPrinters = NULL;
    ok = ReadModuleDirectory(context) && ok;
    ok = ReadSystemDirectory(context) && ok;

    if (!context->spoolerDisabled)
        MarkDefaultPrinter(context);
    return ok;
}

void FreeSetupContext(SetupContext *context)
{
    FreeDetachedPrinters(context);
    ReleaseSpoolerList(&context->printers);
    FreeKeptSettingsList(context->keptSettings);
    context->keptSettings = NULL;
    FreePendingDeleteList(context->pendingDeletes);
    context->pendingDeletes = NULL;
    FreeString(&context->driverDir);
    FreeString(&context->logText);
    FreeString(&context->systemDir);
    FreeString(&context->moduleDir);
}
