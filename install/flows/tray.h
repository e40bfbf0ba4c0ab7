// The tray companion: its Run value, starting it, and asking it to quit.
#pragma once

#include <windows.h>

#include "counted_string.h"
#include "product.h"
#include "services/desktop_user.h" // MayRunAsLocalSystem, which the dispatcher asks through here

struct SetupContext;

// The companion's path: "zentray.exe" in the parent folder of the tool's own folder.
void TrayCompanionPath(const SetupContext *context, CountedString *path);
// Whether this install will register and start the companion.
bool TrayWillBeRegistered(const SetupContext *context);
// Writes the Run value and starts the companion once as the desktop's user (StartAsDesktopUser),
// never with the tool's own token. Where there is no such user it logs why and starts nothing
// (the Run value starts it at the next logon). True when both happened, or when this install
// does not register the companion at all.
bool RegisterTray(SetupContext *context);
// Asks a running companion to quit (from LocalSystem in another session, also through the
// tool's own "removetray" run in the console's session), deletes the program file its Run value
// names (unless it is `keepPath`), and removes the Run value. Silent; `keepPath` may be null. True
// when the companion runs no more (it was not running, or quit when asked), the file that was to go
// is gone, and the Run value is gone; false as well when the companion's mutex could not be made,
// which leaves the file in place.
bool RemoveTray(const WCHAR *keepPath);
