// Product printer queues and the settings kept across a reinstall.
#include "printer_queues.h"

void FreeKeptSettingsList(KeptSetting *entry)
{
    while (entry) {
        KeptSetting *next = entry->next;
        if (entry->subKeyValue)
            GlobalFree(entry->subKeyValue);
        GlobalFree(entry);
        entry = next;
    }
}
