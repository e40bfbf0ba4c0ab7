// The printer driver "Zentavo printer": staging its files, adding and removing it.
#include "printer_driver.h"

#include <wchar.h>

#include "printer_driver_internal.h"
#include "paths.h"
#include "services/file_copy.h"
#include "services/spooler_service.h"
#include "setup_log.h"
#include "setup_record.h"

// The record's pName by the list's level: DRIVER_INFO_1 starts with it, levels 2 to 6 keep it
// after cVersion. Null for an unknown level.
static const WCHAR *DriverNameAt(const DriverList &list, DWORD i)
{
    switch (list.level) {
    case 1:
        return reinterpret_cast<DRIVER_INFO_1W *>(list.buffer)[i].pName;
    case 2:
        return reinterpret_cast<DRIVER_INFO_2W *>(list.buffer)[i].pName;
    case 3:
        return reinterpret_cast<DRIVER_INFO_3W *>(list.buffer)[i].pName;
    case 4:
        return reinterpret_cast<DRIVER_INFO_4W *>(list.buffer)[i].pName;
    case 5:
        return reinterpret_cast<DRIVER_INFO_5W *>(list.buffer)[i].pName;
    case 6:
        return reinterpret_cast<DRIVER_INFO_6W *>(list.buffer)[i].pName;
    default:
        return NULL;
    }
}

int FindPrinterDriver(const DriverList &list)
{
    return FindSpoolerName(list, DriverNameAt, DRIVER_NAME);
}

// Deletes a product file now or lists it for a later attempt.
static void DeleteOrList(SetupContext *context, const WCHAR *path)
{
    if (!DeleteOwnFile(path))
        AddPendingDelete(&context->pendingDeletes, path);
}

// Adds the driver from its staged files; the help path may be empty.
static bool AddStagedDriver(SetupContext *context, WCHAR *driverPath, WCHAR *uiPath,
                            WCHAR *helpPath)
{
    DRIVER_INFO_6W info = {};
    info.cVersion = DRIVER_VERSION;
    info.pName = const_cast<LPWSTR>(DRIVER_NAME);
    info.pEnvironment = const_cast<LPWSTR>(context->environment);
    info.pDriverPath = driverPath;
    info.pDataFile = driverPath;
    info.pConfigFile = uiPath;
    info.pHelpFile = helpPath;
    info.pszMfgName = const_cast<LPWSTR>(DRIVER_MAKER);
    info.pszOEMUrl = const_cast<LPWSTR>(DRIVER_MAKER_URL);
    info.pszProvider = const_cast<LPWSTR>(DRIVER_MAKER);
    return CheckedAddPrinterDriver(&info) != FALSE;
}

bool InstallPrinterDriver(SetupContext *context)
{
    LogLine(context, L">Add Printer Driver");
    LogSection section(context);

    const WCHAR *driverDir = StringText(context->driverDir);
    WCHAR driverPath[SETUP_PATH_BUFFER] = {};
    WCHAR uiPath[SETUP_PATH_BUFFER] = {};
    WCHAR helpPath[SETUP_PATH_BUFFER] = {};
    if (!CopyProductFile(context, driverDir, context->driverFile, driverPath, true) ||
        !CopyProductFile(context, driverDir, context->uiFile, uiPath, true))
        return false;
    // The driver works without its help file.
    if (!CopyProductFile(context, driverDir, context->helpFile, helpPath, true))
        helpPath[0] = 0;

    bool added = AddStagedDriver(context, driverPath, uiPath, helpPath);
    if (added)
        LogLine(context, L"OK :)");
    else
        LogError(context, ERR_ADD_DRIVER, L"Can`t install a printer driver 'Zentavo printer'");

    // The spooler keeps its own copies; the staged ones are no longer needed.
    DeleteOrList(context, driverPath);
    DeleteOrList(context, uiPath);
    DeleteOrList(context, helpPath);
    return added;
}

// Deletes the driver's own files from its version-3 directory, listing those still held.
static void DeleteInstalledDriverFiles(SetupContext *context)
{
    const WCHAR *names[] = {context->driverFile, context->uiFile, context->helpFile};
    for (const WCHAR *name : names) {
        if (!name || !*name)
            continue;
        WCHAR path[SETUP_PATH_BUFFER];
        int written = _snwprintf(path, SETUP_PATH_BUFFER, L"%s%s%s", StringText(context->driverDir),
                                 DRIVER_VERSION_FOLDER, name);
        if (written < 0 || written >= (int)SETUP_PATH_BUFFER)
            continue; // a cut path would name another file
        // Without the driver directory the path would be the relative "3\<name>".
        if (DeleteOwnFile(path))
            continue;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            AddPendingDelete(&context->pendingDeletes, path);
    }
}

// One removal attempt. A spooler that rejects the delete flags (ERROR_INVALID_PARAMETER)
// removes only the registration; the driver's own files are then deleted here.
static BOOL DeleteDriver(SetupContext *context)
{
    LPWSTR environment = const_cast<LPWSTR>(context->environment);
    LPWSTR name = const_cast<LPWSTR>(DRIVER_NAME);
    if (DeletePrinterDriverExW(NULL, environment, name, DPD_DELETE_ALL_FILES, 0))
        return TRUE;
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return FALSE;
    LogLine(context,
            L"The spooler does not take the delete flags, deleting the driver without them");
    if (!DeletePrinterDriverExW(NULL, environment, name, 0, 0))
        return FALSE;
    DeleteInstalledDriverFiles(context);
    return TRUE;
}

bool RemovePrinterDriver(SetupContext *context, const DriverList &list)
{
    LogLine(context, L">DeletePrinterDriver for %s", context->environment);
    LogSection section(context);

    if (list.buffer && list.count > 0)
        LogSpoolerNames(context, list, L"------------ %d existing drivers-----------",
                        L"-------------------------------------------", DriverNameAt);
    else
        LogLine(context, L"BTW, there is no printer drivers on this system.");

    int index = FindPrinterDriver(list);
    if (index < 0) {
        LogLine(context, L"No Zentavo driver was found");
        return true;
    }
    LogLine(context, L"Driver is found. Index=%d", index + 1);

    if (!DeleteDriver(context)) {
        LogLine(context, L"Can't delete driver. Trying to restart spooler");
        SpoolerRestart restart = BeginSpoolerRestart(context);
        EndSpoolerRestart(&restart);
        if (!DeleteDriver(context)) {
            LogError(context, ERR_REMOVE_DRIVER,
                     L"Can`t remove the printer-driver 'Zentavo printer'");
            return false;
        }
    }
    LogLine(context, L"OK :)");
    return true;
}
