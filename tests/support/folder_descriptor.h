// A folder's security as GetSecurityInfo hands it out, made from SDDL: for its fakes.
#pragma once

#include <windows.h>

// Sets the owner, access list and descriptor (freed with LocalFree, as the real call's) that
// `sddl` describes; the group and the system list are none. ERROR_SUCCESS, or the error of a
// text that does not parse.
DWORD DescriptorFromSddl(const WCHAR *sddl, PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                         PSECURITY_DESCRIPTOR *descriptor);
