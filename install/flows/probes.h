// The status probes that the product's other programs ask through exit codes, and the clean-up of
// pending deletions that they share with the sequences.
#pragma once

// A pending file operation still names a product DLL after up to two clean-up attempts.
bool HasPendingProductFiles();
// False only when the default printer opens and uses the product driver.
bool IsDefaultPrinterForeign();
// The first product printer opens and its driver file's build is above 2450.
bool IsDriverCurrent();
// Makes the first product printer the default printer; true when there is one and it became
// the default.
bool MakeProductPrinterDefault();
// Carries out now the pending deletions of the tool's own files (see ApplyPendingDeletions).
// True when no pending operation names the x64 set's monitor, driver or configuration DLL any
// more.
bool CarryOutPendingDeletions();
