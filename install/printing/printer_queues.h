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

// Takes the snapshot of all printers into the context and marks the default one. Each call
// reloads the whole snapshot: changes made to its records, and pointers into them, are lost.
// True when a printer of the snapshot carries the default mark.
bool MarkDefaultPrinter(SetupContext *context);
// Keeps the "SubKey" of every local printer of the product driver, then deletes it; takes up
// the printers an earlier run wrote down and could not re-create. True when every such printer
// was deleted.
bool DeleteProductPrinters(SetupContext *context);
// Re-creates the kept printers with their settings, or the printer "Zentavo"; a printer's
// record is removed once it is back with its "SubKey" value. True when every kept printer is
// back with its value; with none kept, when "Zentavo" was added.
bool RestoreKeptPrinters(SetupContext *context);
