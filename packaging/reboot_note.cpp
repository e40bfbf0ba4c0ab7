// The reboot key: the products whose setup.exe run asked for a reboot.
#include "reboot_note.h"

#include <msiquery.h>

#include "action_data.h"

// One value named by each product code; volatile, as the reboot it asks for ends its reason.
static const WCHAR REBOOT_KEY[] = L"SOFTWARE\\Zentavo Reboot";
// A product code in braces, with room to spare.
static const DWORD PRODUCT_CODE_CHARS = 64;

void NoteRebootNeeded(MSIHANDLE install, const WCHAR *productCode)
{
    HKEY key;
    DWORD needed = 1;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, NULL, REG_OPTION_VOLATILE,
                                  KEY_SET_VALUE, NULL, &key, NULL);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, productCode, 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&needed), sizeof(needed));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        Report(install, INSTALLMESSAGE_INFO,
               L"The reboot that %s needs cannot be noted (error %ld): reboot after the install.",
               productCode, status);
}

// Immediate, after the script has ended: asks for the reboot that the product's setup.exe run
// noted, and takes the note out.
extern "C" UINT __stdcall RequestReboot(MSIHANDLE install)
{
    WCHAR productCode[PRODUCT_CODE_CHARS];
    HKEY key;
    if (!ReadShortProperty(install, L"ProductCode", productCode, PRODUCT_CODE_CHARS))
        return ERROR_SUCCESS;
    // An immediate action runs as the installing user, who may read the note but not delete it
    // (a per-machine install with elevated privileges): the reboot is asked for all the same.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, REBOOT_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    bool needed = RegQueryValueExW(key, productCode, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegDeleteValueW(key, productCode);
    DWORD others = 1;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &others, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (others == 0)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, REBOOT_KEY);
    if (needed) {
        Report(install, INSTALLMESSAGE_INFO, L"A reboot finishes the install.");
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    }
    return ERROR_SUCCESS;
}
