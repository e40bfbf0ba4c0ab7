// Who can change the folders the tool runs from: only administrators may.
#pragma once

#include <windows.h>

struct SetupContext;

enum FolderVerdict {
    FOLDER_TRUSTED,    // only trusted accounts can change it
    FOLDER_OPEN,       // another account can
    FOLDER_UNREADABLE, // its owner or access list could not be read (last error set)
};

// Room for a token's user, aligned as the TOKEN_USER it holds.
union TokenUserBuffer {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};
// The user of this process's token, in `buffer`; null when it cannot be read.
PSID ProcessUser(TokenUserBuffer *buffer);

// Examines `folder`'s owner and access list, read through a handle opened on it. The trusted
// accounts are LocalSystem, Administrators, TrustedInstaller and the user this process runs as;
// CREATOR OWNER stands for the owner. A folder that the handle reaches through a link, or on a
// network volume, is FOLDER_OPEN as well: others decide what its path names. On FOLDER_OPEN,
// `who` (at least `whoChars` characters) names the first account that can change the folder.
FolderVerdict ExamineFolder(const WCHAR *folder, WCHAR *who, DWORD whoChars);
// Checks the tool's folder and the companion's (its parent), reporting each one that fails
// (error 19, or 20 when its security cannot be read). True when both pass.
bool ProductFoldersTrusted(SetupContext *context);
// Whether `folder` and the folder that holds it pass the check ProductFoldersTrusted makes of
// the tool's folders; nothing is reported.
bool FolderAndParentTrusted(const WCHAR *folder);
