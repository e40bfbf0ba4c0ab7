// Functions of printer_driver that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

#include "services/spooler_queries.h"

// Index of the first record named exactly "Zentavo printer" in a list of level 1 to 6, or -1.
int FindPrinterDriver(const DriverList &list);
