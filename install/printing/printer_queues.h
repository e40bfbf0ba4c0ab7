// Product printer queues: deleting them with their settings kept, and re-creating them.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "product.h"

struct SetupContext;

// A product printer whose "SubKey" value is carried across a reinstall. The entry and its value
// are GlobalAlloc blocks; the record belongs to the context's printer snapshot.
struct KeptSetting {
    char *subKeyValue;
    PRINTER_INFO_2W *printerRecord;
    KeptSetting *next;
    // For a printer an earlier run wrote down: the record with its texts in one GlobalAlloc
    // block owned by the entry (`printerRecord` points to it); null otherwise.
    PRINTER_INFO_2W *recordBlock;
};

void FreeKeptSettingsList(KeptSetting *entry);

// Takes the snapshot of all printers into the context and marks the default one.
void MarkDefaultPrinter(SetupContext *context);
// Purges and deletes one printer; a null name is reported and nothing is opened.
void DeletePrinterQueue(SetupContext *context, const WCHAR *name);
// Keeps the "SubKey" of every local printer of the product driver, then deletes it; takes up
// the printers an earlier run wrote down and could not re-create.
void DeleteProductPrinters(SetupContext *context);
// Puts an entry at the front of `keptSettings` when the printer has a "SubKey" value, written
// down in the registry first. False when the printer must not be deleted: its value could not
// be read, or the entry not be made or written down.
bool KeepPrinterSetting(SetupContext *context, PRINTER_INFO_2W *record);
// Adds the printers written down by an earlier run to the back of `keptSettings`; drops
// malformed records with a log line.
void TakeUpKeptRecords(SetupContext *context);
// Removes every written-down printer record (after an uninstall deleted the printers).
void ForgetKeptRecords();
// Adds a product printer; returns its open handle (the caller closes it) or null.
HANDLE AddPrinterQueue(SetupContext *context, const WCHAR *name);
// Re-creates the kept printers with their settings, or the printer "Zentavo"; a printer's
// record is removed once it is back with its "SubKey" value.
void RestoreKeptPrinters(SetupContext *context);
// Writes "SubKey" in both places; true when the copy under "DsUser" was written.
bool SetSubKeySetting(HANDLE printer, const char *value);
// Fills `buffer` (SUBKEY_BUFFER bytes) with the "SubKey" value, or with an empty text.
void GetSubKeySetting(HANDLE printer, char *buffer);
// Removes the value "deleted" from the product's per-user key `subPath`; true when removed.
bool ClearDeletedMark(const char *subPath);
