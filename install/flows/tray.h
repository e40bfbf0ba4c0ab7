// The tray companion: its Run value, starting it, and asking it to quit.
#pragma once

#include <windows.h>

#include "counted_string.h"

struct SetupContext;

// Names shared with the companion program.
#define TRAY_MUTEX_NAME "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}"
#define TRAY_WINDOW_CLASS L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}"
#define TRAY_QUIT_MESSAGE 0x0402
#define TRAY_RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define TRAY_RUN_KEY_W L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define TRAY_RUN_VALUE "ZentavoTray"
#define TRAY_RUN_VALUE_W L"ZentavoTray"
#define TRAY_FILE_NAME L"zentray.exe"

// The companion's path: "zentray.exe" in the parent folder of the tool's own folder.
void TrayCompanionPath(const SetupContext *context, CountedString *path);
// Whether this install will register and start the companion.
bool TrayWillBeRegistered(const SetupContext *context);
// Writes the Run value and starts the companion once. Silent.
void RegisterTray(SetupContext *context);
// Asks a running companion to quit, deletes the program file its Run value names (unless it
// is `keepPath`), and removes the Run value. Silent; `keepPath` may be null.
void RemoveTray(const WCHAR *keepPath);
