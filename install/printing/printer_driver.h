// The printer driver "Zentavo printer": staging its files, adding and removing it.
#pragma once

#include <windows.h>

#include "services/spooler_queries.h"

struct SetupContext;

// Stages the driver DLL, configuration DLL and help file in `driverDir`, adds the driver as a
// version-3 driver, then deletes the staged copies (or lists them for later). True when the
// spooler took the driver.
bool InstallPrinterDriver(SetupContext *context);
// Deletes the driver with its files, restarting the spooler once when it refuses. True when no
// product driver is left: it was deleted, or `list` has none.
bool RemovePrinterDriver(SetupContext *context, const DriverList &list);
