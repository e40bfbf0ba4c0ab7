// A folder's security as GetSecurityInfo hands it out, made from SDDL.
#include "folder_descriptor.h"

#include <sddl.h>

DWORD DescriptorFromSddl(const WCHAR *sddl, PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                         PSECURITY_DESCRIPTOR *descriptor)
{
    PSECURITY_DESCRIPTOR made = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, NULL))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    *owner = NULL;
    *dacl = NULL;
    GetSecurityDescriptorOwner(made, owner, &defaulted);
    GetSecurityDescriptorDacl(made, &present, dacl, &defaulted);
    if (group)
        *group = NULL;
    if (sacl)
        *sacl = NULL;
    *descriptor = made;
    return ERROR_SUCCESS;
}
