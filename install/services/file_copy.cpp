// Copying product files into place, and the files left to delete later.
#include "file_copy.h"

void FreePendingDeleteList(PendingDelete *node)
{
    while (node) {
        PendingDelete *next = node->next;
        if (node->path)
            GlobalFree(node->path);
        GlobalFree(node);
        node = next;
    }
}
