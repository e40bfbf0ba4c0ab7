// The tray companion: its Run value, starting it, and asking it to quit.
#pragma once

#include <windows.h>

#include "counted_string.h"
#include "product.h"

struct SetupContext;

// Whether this process may run as LocalSystem: its token's user is LocalSystem, or the token
// cannot be read (then nothing is shown to or started for a user that it might be).
bool MayRunAsLocalSystem();

// The companion's path: "zentray.exe" in the parent folder of the tool's own folder.
void TrayCompanionPath(const SetupContext *context, CountedString *path);
// Whether this install will register and start the companion.
bool TrayWillBeRegistered(const SetupContext *context);
// Writes the Run value and starts the companion once, never with the tool's own token: as the
// user whose shell runs on the tool's desktop, or, from LocalSystem, as the console session's
// user on that session's desktop. Where there is no such user it logs why and starts nothing
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
