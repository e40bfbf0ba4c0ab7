// The system's pending file-rename operations: read, and the pending deletions carried out now.
#pragma once

#include <windows.h>

// Pairs (source, target) of "PendingFileRenameOperations"; all blocks are GlobalAlloc'd.
struct PendingRenameTable {
    WCHAR **paths; // 2 x pairCount; an empty registry string is null
    LONG *exists;  // 1 when the string names an existing file that is not a directory
    LONG pairCount;
};

PendingRenameTable LoadPendingRenameTable();
// Deletes now the files of the tool's own pending deletions that exist, and marks them gone:
// product-named files in the system directory, the printer driver directory or its version
// folder, the tool's folder or the companion's, each compared in its long form and reached
// without a link on the way. False when one of them could not be deleted.
bool ApplyPendingDeletions(PendingRenameTable *table);
void ReleasePendingRenameTable(PendingRenameTable *table);
// The path after a leading "\??\", or the path itself.
const WCHAR *StripNtPrefix(const WCHAR *path);
// Removes from the system's value exactly the pending deletions (empty target) whose source,
// without its "\??\" prefix, is one of `paths` (case-insensitive, in the long forms of the
// paths); every other byte of the value stays as it was. Returns how many pairs were removed,
// or -1 (with the last error set) when they could not be.
int ForgetPendingDeletions(const WCHAR *const *paths, int count);
