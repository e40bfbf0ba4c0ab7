// The reinstall and uninstall sequences that the install and uninstall commands run.
#pragma once

struct SetupContext;

// Removes everything, clears what the spooler held, and installs everything again; removes
// nothing when a component file or a destination folder is missing. True when it ended without
// a new error report.
bool ReInstall(SetupContext *context);
// Removes the product's printers, driver, monitor and tray companion, the written-down kept
// printers included, and clears the files still waiting for deletion. True when it ended
// without a new error report.
bool FullUninstall(SetupContext *context);
