// Building and releasing the SetupContext of one install or uninstall command. The builder
// checks the spooler and takes the printer snapshot, so it sits above the services and printing
// components; they include only the record (setup_record.h).
#pragma once

#include <windows.h>

#include "setup_record.h"

// Mode bits of InitSetupContext; other bits are ignored.
enum {
    SETUP_X64 = 2,
    SETUP_NO_TRAY = 4,
};

// The module instance handed to the entry point; the log window and the module path use it.
extern HINSTANCE g_instance;

// Builds the context of one command: checks the spooler, selects the file set and reads the
// driver, module and system directories. True when each of these succeeded; false when one
// failed, reported (all but the module path), or the spooler is disabled: then the driver
// directory and the printers are not asked for. The context is usable, and freed, either way.
bool InitSetupContext(SetupContext *context, DWORD mode);
void FreeSetupContext(SetupContext *context);
