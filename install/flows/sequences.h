// The reinstall and uninstall sequences that the install and uninstall commands run.
#pragma once

struct SetupContext;

// Removes everything, clears what the spooler held, and installs everything again; removes
// nothing when the spooler is disabled, protected print mode is on, the machine is not x64,
// others than administrators can change the tool's folders, a component file or a destination
// folder is missing, or a product printer cannot be written down. The companion is started only
// when the monitor and driver are installed. A spooler found stopped stays running after an
// install, and is stopped again after a refusal. True when it ended without a new error report.
bool ReInstall(SetupContext *context);
// Removes the product's printers, driver, monitor and tray companion, the written-down kept
// printers included, and clears the files still waiting for deletion; removes nothing when the
// spooler is disabled or others than administrators can change the tool's folders. A spooler
// found stopped is stopped again. True when it ended without a new error report.
bool FullUninstall(SetupContext *context);
