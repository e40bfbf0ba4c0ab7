// Stand-in configuration DLL of the printer driver: a plain DEVMODE and a few capabilities.
//
// Adding a printer makes the spooler ask this DLL for the printer's default DEVMODE: first its
// size (the return value is taken as the size), then the record itself.
#include <stddef.h>

#include <windows.h>

#include "document_property_header.h"

namespace {

const WORD DRIVER_VERSION = 0x0300;
const DWORD DEVMODE_FIELDS = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
const WORD PAPERS[] = {DMPAPER_A4, DMPAPER_LETTER};
const WCHAR PAPER_NAMES[][64] = {L"A4", L"Letter"};
const POINT PAPER_SIZES[] = {{2100, 2970}, {2159, 2794}}; // tenths of a millimetre

void FillDefaultDevMode(DEVMODEW *mode, const WCHAR *printerName)
{
    ZeroMemory(mode, sizeof(DEVMODEW));
    if (printerName != NULL)
        lstrcpynW(mode->dmDeviceName, printerName, CCHDEVICENAME);
    mode->dmSpecVersion = DM_SPECVERSION;
    mode->dmDriverVersion = DRIVER_VERSION;
    mode->dmSize = sizeof(DEVMODEW);
    mode->dmDriverExtra = 0;
    mode->dmFields = DEVMODE_FIELDS;
    mode->dmOrientation = DMORIENT_PORTRAIT;
    mode->dmPaperSize = DMPAPER_A4;
    mode->dmCopies = 1;
}

} // namespace

// Without property-sheet info (lParam is a DOCUMENTPROPERTYHEADER): fMode 0 or no output record
// asks the DEVMODE size; otherwise the default DEVMODE, updated from pdmIn's orientation and
// paper when DM_IN_BUFFER is set, is written to pdmOut. Property sheets are not offered.
extern "C" __declspec(dllexport) LONG WINAPI
    DrvDocumentPropertySheets(void *sheetInfo, LPARAM lParam)
{
    DOCUMENTPROPERTYHEADER *header = reinterpret_cast<DOCUMENTPROPERTYHEADER *>(lParam);
    if (sheetInfo != NULL || header == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return -1;
    }
    if (header->fMode == 0 || header->pdmOut == NULL)
        return sizeof(DEVMODEW);
    if (!(header->fMode & DM_OUT_BUFFER))
        return IDOK;
    DEVMODEW mode;
    FillDefaultDevMode(&mode, header->pszPrinterName);
    const DEVMODEW *in = header->pdmIn;
    if ((header->fMode & DM_IN_BUFFER) && in != NULL && in->dmSize >= offsetof(DEVMODEW, dmScale)) {
        if (in->dmFields & DM_ORIENTATION)
            mode.dmOrientation = in->dmOrientation;
        if (in->dmFields & DM_PAPERSIZE)
            mode.dmPaperSize = in->dmPaperSize;
        if (in->dmFields & DM_COPIES)
            mode.dmCopies = in->dmCopies;
    }
    // The spooler sized the record by our size answer, so the whole DEVMODEW fits.
    CopyMemory(header->pdmOut, &mode, sizeof(DEVMODEW));
    return IDOK;
}

// Answers the capabilities a spooler or application asks when a printer is added or opened;
// unknown ones answer 0 (nothing supported).
extern "C" __declspec(dllexport) DWORD WINAPI
    DrvDeviceCapabilities(HANDLE, PWSTR, WORD capability, void *output, PDEVMODEW)
{
    const DWORD paperCount = sizeof(PAPERS) / sizeof(PAPERS[0]);
    switch (capability) {
    case DC_FIELDS:
        return DEVMODE_FIELDS;
    case DC_SIZE:
        return sizeof(DEVMODEW);
    case DC_EXTRA:
        return 0;
    case DC_VERSION:
        return DM_SPECVERSION;
    case DC_DRIVER:
        return DRIVER_VERSION;
    case DC_COPIES:
        return 1;
    case DC_ORIENTATION:
        return 90;
    case DC_PAPERS:
        if (output != NULL)
            CopyMemory(output, PAPERS, sizeof(PAPERS));
        return paperCount;
    case DC_PAPERNAMES:
        if (output != NULL)
            CopyMemory(output, PAPER_NAMES, sizeof(PAPER_NAMES));
        return paperCount;
    case DC_PAPERSIZE:
        if (output != NULL)
            CopyMemory(output, PAPER_SIZES, sizeof(PAPER_SIZES));
        return paperCount;
    default:
        return 0;
    }
}
