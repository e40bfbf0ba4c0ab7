// The reboot that a product's setup.exe run needs: a deferred action may not ask Windows
// Installer for it, so it notes it, and RequestReboot, after the script, asks for it.
#pragma once

#include <windows.h>
#include <msi.h>

// Notes in the reboot key that the product's run needs a reboot; a note that cannot be written
// is logged with the advice to reboot.
void NoteRebootNeeded(MSIHANDLE install, const WCHAR *productCode);
