// The printer driver "Zentavo printer": staging its files, adding and removing it.
#pragma once

#include <windows.h>

#include "services/spooler_queries.h"

struct SetupContext;

// Index of the first record named exactly "Zentavo printer" in a list of level 1 to 6, or -1.
int FindPrinterDriver(const DriverList &list);
// Stages the driver DLL, configuration DLL and help file in `driverDir`, adds the driver as a
// version-3 driver, then deletes the staged copies (or lists them for later).
void InstallPrinterDriver(SetupContext *context);
// Deletes the driver with its files, restarting the spooler once when it refuses.
void RemovePrinterDriver(SetupContext *context, const DriverList &list);
