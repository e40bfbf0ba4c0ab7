// What the package's actions share: their data and their lines in the Windows Installer log.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "counted_string.h"

// An error line: in the log, and in a dialog when the package runs with a user interface.
const INSTALLMESSAGE REPORT_FAILURE = INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR);

// One line into the Windows Installer log. The text goes in as a field of its own, so brackets
// in it are printed, not read as properties.
void LogMessage(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *text);

// The deferred action's data (CustomActionData, the one property a deferred action may read
// besides ProductCode and UserSID); false when it cannot be read.
bool ReadActionData(MSIHANDLE install, CountedString *data);
