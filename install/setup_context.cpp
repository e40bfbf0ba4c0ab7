// Building and releasing the SetupContext of one install or uninstall command.
#include "setup_context.h"

#include <string.h>

#include "setup_log.h"
#include "services/spooler_service.h"

HINSTANCE g_instance;

static bool EndsWithSeparator(CountedString s, WCHAR separator)
{
    size_t length = StringLength(s);
    return length > 0 && s->text[length - 1] == separator;
}

static void AppendBackslashIfMissing(CountedString *s)
{
    if (StringLength(*s) > 0 && !EndsWithSeparator(*s, L'\\'))
        Append(s, L"\\");
}

bool IsProductComponentName(const WCHAR *name)
{
    for (int set = 0; set < 2; set++) {
        for (int i = 0; i < FILE_SET_FILES; i++) {
            if (EqualFoldingAscii(name, FILE_SETS[set][i]))
                return true;
        }
    }
    return false;
}

void SelectFileSet(SetupContext *context, bool x64)
{
    const WCHAR *const *files = FILE_SETS[x64 ? 1 : 0];
    context->environment = ENVIRONMENTS[x64 ? 1 : 0];
    context->monitorFile = files[0];
    context->driverFile = files[1];
    context->uiFile = files[2];

    DWORD needed = 0;
    WCHAR *directory = NULL;
    if (!GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(context->environment), 1, NULL, 0,
                                    &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        goto done;
    }
    // Two spare zero bytes keep the text terminated whatever the spooler writes.
    directory = static_cast<WCHAR *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)needed + sizeof(WCHAR)));
    if (!directory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        goto done;
    }
    if (!GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(context->environment), 1,
                                    reinterpret_cast<LPBYTE>(directory), needed, &needed)) {
        LogError(context, ERR_DRIVER_DIRECTORY, L"Can`t retrieve printer driver directory.");
        goto done;
    }
    LogLine(context, L"PrinterDriverDirectory(1):%s", directory);
    Assign(&context->driverDir, directory);
    AppendBackslashIfMissing(&context->driverDir);
    LogLine(context, L"PrinterDriverDirectory(2):%s", StringText(context->driverDir));

done:
    if (directory)
        HeapFree(GetProcessHeap(), 0, directory);
    context->helpFile = files[3];
}

void InitSetupContext(SetupContext *context, DWORD mode)
{
    memset(context, 0, sizeof(*context));

    LogLine(context, L"Zentavo %d", BUILD_NUMBER);

    context->checkMonitorVersion = 0;
    context->installMonitor = 1;
    context->installTray = (mode & SETUP_NO_TRAY) ? 0 : 1;
    context->copyMonitor = 1;

    // Its failures reach the log as reports; building the context goes on regardless.
    CheckSpooler(context);

    SelectFileSet(context, (mode & SETUP_X64) != 0);
    context->detachedPrinters = NULL;

    WCHAR path[SETUP_PATH_BUFFER];
    // A path that fills the declared buffer was cut: it is no path, and moduleDir stays empty.
    DWORD length = GetModuleFileNameW(g_instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        DirectoryWithSeparator(&context->moduleDir, path);

    length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        // A longer directory would be a cut path: report it like a failed call.
        if (length != 0)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogError(context, ERR_SYSTEM_DIRECTORY, L"Can`t retrieve system directory.");
    } else {
        Assign(&context->systemDir, path);
        AppendBackslashIfMissing(&context->systemDir);
    }

    MarkDefaultPrinter(context);
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
