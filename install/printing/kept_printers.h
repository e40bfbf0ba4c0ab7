// The kept-printer records: each kept printer written down under KEPT_RECORDS_KEY before it is
// deleted, and removed once it is back.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "printing/printer_queues.h"

struct SetupContext;

// The first entry from `entry` on for the printer named exactly `name`, or null.
KeptSetting *FindKeptSetting(KeptSetting *entry, const WCHAR *name);
// Writes and flushes the record of one printer; false (with the last error set) when it is not
// on disk.
bool WriteKeptRecord(const PRINTER_INFO_2W *record, const char *subKey);
// Whether every local printer of the product driver in the snapshot can be written down before
// it is deleted: the records key opens for writing and the printer's name fits a value name.
// Each one that cannot is reported (error 21).
bool KeptPrintersCanBeWrittenDown(SetupContext *context);
// Adds the printers written down by an earlier run to the back of `keptSettings`; drops
// malformed records with a log line. True when the records could be read to their end (or
// there are none).
bool TakeUpKeptRecords(SetupContext *context);
// Removes the record of one printer that is back; a record that cannot be removed stays.
void RemoveKeptRecord(const WCHAR *name);
// Removes every written-down printer record (after an uninstall deleted the printers). True
// when none is left written down.
bool ForgetKeptRecords();
