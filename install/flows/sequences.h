// The reinstall and uninstall sequences that the install and uninstall commands run.
#pragma once

struct SetupContext;

// Removes the product's printers, driver, monitor and tray companion.
void UnInstall(SetupContext *context);
// Removes everything, clears what the spooler held, and installs everything again; removes
// nothing when a component file or a destination folder is missing.
void ReInstall(SetupContext *context);
// Removes everything, the written-down kept printers included, and clears the files still
// waiting for deletion.
void FullUninstall(SetupContext *context);
