// The old versions that a major upgrade is replacing, for their removal to see: Windows tells it
// through UPGRADINGPRODUCTCODE, but an installer that does not (Wine's) runs it as a plain
// removal. MarkUpgrade writes them down, UnmarkUpgrade forgets them on rollback.
#pragma once

#include <windows.h>
#include <msi.h>

// Whether a major upgrade is replacing the product `productCode` now: its code is in the
// upgrade key's list and the installer that wrote the key still runs. The code is taken out of
// the list, which is used once; a key that speaks for no running upgrade is deleted unused.
bool IsBeingReplaced(MSIHANDLE install, const WCHAR *productCode);

// Deletes the upgrade key: an install replaces nothing that a later removal should spare.
void ForgetUpgrade();
