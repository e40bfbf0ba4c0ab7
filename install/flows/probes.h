// The status probes that the product's other programs ask through exit codes.
#pragma once

// A pending file operation still names a product DLL after up to two clean-up attempts.
bool HasPendingProductFiles();
// False only when the default printer opens and uses the product driver.
bool IsDefaultPrinterForeign();
// The first product printer opens and its driver file's build is above 2450.
bool IsDriverCurrent();
// Makes the first product printer the default printer.
void MakeProductPrinterDefault();
