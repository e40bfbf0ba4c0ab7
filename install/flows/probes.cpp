// The status probes of the product's other programs: no context, no log, no error count.
#include "flows/probes.h"

#include <windows.h>
#include <winspool.h>

#include "counted_string.h"
#include "paths.h"
#include "product.h"
#include "services/pending_renames.h"
#include "services/spooler_queries.h"
#include "services/spooler_service.h"

static const int PENDING_FILE_ATTEMPTS = 2;

// The x64 set's monitor, driver and configuration DLL: the files a reboot may still hold.
static bool IsProductFileName(const WCHAR *path)
{
    const WCHAR *name = FileNamePart(path);
    for (int i = 0; i < 3; i++) {
        if (EqualFoldingAscii(name, FILE_SETS[1][i]))
            return true;
    }
    return false;
}

bool CarryOutPendingDeletions()
{
    PendingRenameTable table = LoadPendingRenameTable();
    ApplyPendingDeletions(&table);
    bool found = false;
    for (LONG k = 0; k < table.pairCount && !found; k++) {
        const WCHAR *source = table.paths[2 * k];
        found = table.exists[2 * k] == 1 && source && IsProductFileName(StripNtPrefix(source));
    }
    ReleasePendingRenameTable(&table);
    return !found;
}

bool HasPendingProductFiles()
{
    for (int attempt = 0; attempt < PENDING_FILE_ATTEMPTS; attempt++) {
        if (CarryOutPendingDeletions())
            return false;
        // The spooler may hold the file: a restart lets the next pass delete it.
        SpoolerRestart restart = BeginSpoolerRestart(NULL);
        EndSpoolerRestart(&restart);
    }
    return true;
}

bool IsDefaultPrinterForeign()
{
    WCHAR name[PROBE_DEFAULT_NAME_CHARS] = {0};
    DWORD size = PROBE_DEFAULT_NAME_CHARS;
    QueryDefaultPrinter(name, &size);
    if (name[0] == 0)
        return true;
    HANDLE printer = NULL;
    if (!OpenPrinterW(name, &printer, NULL) || !printer)
        return true;
    DWORD infoSize = 0;
    PRINTER_INFO_2W *info = GetPrinterInfo2(printer, &infoSize);
    bool foreign = !info || !IsProductDriver(info->pDriverName);
    CheckedClosePrinter(printer);
    if (info)
        GlobalFree(info);
    return foreign;
}

// Whether the printer opens and its driver file's build is above the last old build.
static bool PrinterDriverIsCurrent(const WCHAR *name)
{
    HANDLE printer = NULL;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, NULL))
        return false;
    DRIVER_INFO_2W *driver = GetPrinterDriverInfo2(printer);
    bool current =
        driver && driver->pDriverPath && GetFileBuild(driver->pDriverPath) > LAST_OLD_BUILD;
    CheckedClosePrinter(printer);
    if (driver)
        GlobalFree(driver);
    return current;
}

static bool MakeDefault(const WCHAR *name)
{
    return SetDefaultPrinterByName(name) != FALSE;
}

// `act` on the first printer, in enumeration order, that uses the product driver; false
// without one.
static bool OnFirstProductPrinter(bool (*act)(const WCHAR *name))
{
    PrinterList printers = {NULL, 2, 0};
    RefreshPrinterList(&printers);
    bool done = false;
    for (DWORD i = 0; i < printers.count; i++) {
        const PRINTER_INFO_2W *record = PrinterAt(printers, i);
        if (IsProductDriver(record->pDriverName)) {
            done = act(record->pPrinterName);
            break;
        }
    }
    ReleaseSpoolerList(&printers);
    return done;
}

bool IsDriverCurrent()
{
    return OnFirstProductPrinter(PrinterDriverIsCurrent);
}

bool MakeProductPrinterDefault()
{
    return OnFirstProductPrinter(MakeDefault);
}
