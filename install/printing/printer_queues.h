// Product printer queues: deleting them with their settings kept, and re-creating them.
#pragma once

#include <windows.h>
#include <winspool.h>

// A product printer whose "SubKey" value is carried across a reinstall. The entry and its value
// are GlobalAlloc blocks; the record belongs to the context's printer snapshot.
struct KeptSetting {
    char *subKeyValue;
    PRINTER_INFO_2W *printerRecord;
    KeptSetting *next;
};

void FreeKeptSettingsList(KeptSetting *entry);
