// The floor of the sequence figures: the system calls an install and an uninstall make, without
// the tool's decisions, lists or log.
#pragma once

#include <windows.h>

// From a clean state: the spooler service queried, the printers, monitors and drivers
// enumerated, the installed monitor's version read, the four component files copied from
// `sourceDir` (ending in a backslash), monitor, driver and one printer added, the staged driver
// files deleted. Returns whether every call that must succeed did.
bool FloorInstall(const WCHAR *sourceDir);
// From the state FloorInstall left: the same queries and enumerations, the printer's settings
// read, printer, driver (the flagged deletion Wine refuses, then the plain one) and monitor
// deleted with the spooler's copies of their files.
bool FloorUninstall();
// From an install with printers of the product: the same queries, each printer's value read,
// written down and the printer deleted, the driver deleted and added again, the compatible
// monitor's version read, and each printer with a value added again with its value, comment,
// location and default status (or "Zentavo" when none had one).
bool FloorKeepingInstall(const WCHAR *sourceDir);
