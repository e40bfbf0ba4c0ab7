// The tray companion: its Run value, starting it, and asking it to quit.
#pragma once

#include <windows.h>

#include "counted_string.h"
#include "product.h"

struct SetupContext;

// The companion's path: "zentray.exe" in the parent folder of the tool's own folder.
void TrayCompanionPath(const SetupContext *context, CountedString *path);
// Whether this install will register and start the companion.
bool TrayWillBeRegistered(const SetupContext *context);
// Writes the Run value and starts the companion once. Silent.
void RegisterTray(SetupContext *context);
// Asks a running companion to quit, deletes the program file its Run value names (unless it
// is `keepPath`), and removes the Run value. Silent; `keepPath` may be null.
void RemoveTray(const WCHAR *keepPath);
