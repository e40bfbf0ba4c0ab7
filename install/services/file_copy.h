// Copying product files into place and the list of files still to delete.
#pragma once

#include <windows.h>

#include "paths.h"

struct SetupContext;

// Files that could not be deleted yet, most recent first. Nodes and paths are GlobalAlloc blocks.
struct PendingDelete {
    WCHAR *path;
    PendingDelete *next;
};

// DeleteFileW for a path that IsPlainAbsolutePath accepts; any other fails with
// ERROR_BAD_PATHNAME and nothing is touched.
BOOL DeleteOwnFile(const WCHAR *path);

// Copies `fileName` from the tool's directory into `destDir`. `outPath`, when given, holds
// SETUP_PATH_BUFFER characters and receives the destination path. True when the copy is whole.
bool CopyProductFile(SetupContext *context, const WCHAR *destDir, const WCHAR *fileName,
                     WCHAR *outPath, bool reportErrors);
// Pushes a path at the front unless it is listed already (exact, case-sensitive comparison). A
// path that IsPlainAbsolutePath refuses is never listed. True when the path is on the list.
bool AddPendingDelete(PendingDelete **head, const WCHAR *path);
// A GlobalAlloc copy, or null for a null or empty text.
WCHAR *DuplicateWideString(const WCHAR *text);
// Releases the node, every node after it and their paths; accepts null.
void FreePendingDeleteList(PendingDelete *node);
// Deletes the listed files; those deleted or already gone leave the list. True when the list is
// now empty.
bool RetryPendingDeletes(SetupContext *context);
// Hands every listed file to Windows for deletion at reboot, empties the list, and returns how
// many were accepted.
DWORD ScheduleDeletesAtReboot(SetupContext *context);
