// What the package's actions share: their data and their lines in the Windows Installer log.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "counted_string.h"

struct SetupCommand;

// An error line: in the log, and in a dialog when the package runs with a user interface.
const INSTALLMESSAGE REPORT_FAILURE = INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR);
// The actions' data separates its fields with a character no path holds.
const WCHAR DATA_SEPARATOR = L'|';

// One line into the Windows Installer log. The text goes in as a field of its own, so brackets
// in it are printed, not read as properties.
void LogMessage(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *text);
// A formatted line, cut at LOG_LINE_CHARS characters, into the Windows Installer log.
void Report(MSIHANDLE install, INSTALLMESSAGE kind, const WCHAR *format, ...);

// The deferred action's data (CustomActionData, the one property a deferred action may read
// besides ProductCode and UserSID); false when it cannot be read.
bool ReadActionData(MSIHANDLE install, CountedString *data);
// A property that fits in `count` characters with its terminator; false when it is empty, longer
// or cannot be read.
bool ReadShortProperty(MSIHANDLE install, const WCHAR *name, WCHAR *value, DWORD count);

// The deferred action's data "WORD|PRODUCTCODE|FOLDER": the command word (as the package's table
// writes it), the package's product code and the absolute folder of setup.exe. Sets the command,
// the product code and the folder with a closing backslash; false when a field is missing or
// the word, or a folder by the tool's own path rule, is not one the action runs.
bool ParseActionData(const WCHAR *data, const SetupCommand **command, CountedString *productCode,
                     CountedString *folder);
