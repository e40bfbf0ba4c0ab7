// Copying product files into place and the list of files still to delete.
#pragma once

#include <windows.h>

// Files that could not be deleted yet, most recent first. Nodes and paths are GlobalAlloc blocks.
struct PendingDelete {
    WCHAR *path;
    PendingDelete *next;
};

// Releases the node, every node after it and their paths; accepts null.
void FreePendingDeleteList(PendingDelete *node);
