// Spooler enumerations, checked spooler calls and the file build query.
#include "spooler_queries.h"

void ReleasePrinterList(PrinterList *list)
{
    if (list->buffer)
        GlobalFree(list->buffer);
    list->buffer = NULL;
    list->count = 0;
}
