// Functions of printer_queues that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

struct SetupContext;

// Purges and deletes one printer; a null name is reported and nothing is opened. True when the
// printer was deleted.
bool DeletePrinterQueue(SetupContext *context, const WCHAR *name);
// Adds a product printer; returns its open handle (the caller closes it) or null.
HANDLE AddPrinterQueue(SetupContext *context, const WCHAR *name);
// Writes "SubKey" in both places; true when the copy under "DsUser" was written.
bool SetSubKeySetting(HANDLE printer, const char *value);
// Fills `buffer` (SUBKEY_BUFFER bytes) with the "SubKey" value, or with an empty text.
void GetSubKeySetting(HANDLE printer, char *buffer);
