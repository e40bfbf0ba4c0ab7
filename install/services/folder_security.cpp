// Who can change the folders the tool runs from.
//
// The elevated tool copies its own folder's files into the system directory and registers the
// companion for every logon: whoever can change those folders could run code as LocalSystem.
#include "folder_security.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <wchar.h>

#include "paths.h"
#include "setup_log.h"
#include "setup_record.h"

// Rights that change what the folder holds or who may: writing, appending (a file or a
// folder), deleting, changing the permissions, taking ownership. Attributes and extended
// attributes change no file's contents and are not among them.
static const ACCESS_MASK CHANGE_RIGHTS =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER;

// TrustedInstaller: NT SERVICE\TrustedInstaller.
static SID_IDENTIFIER_AUTHORITY NT_AUTHORITY = SECURITY_NT_AUTHORITY;
static const DWORD TRUSTED_INSTALLER_RIDS[6] = {80,         956008885,  3418522649,
                                                1831038044, 1853292631, 2271478464};

static bool IsTrustedInstaller(PSID sid)
{
    if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) != 6 ||
        memcmp(GetSidIdentifierAuthority(sid), &NT_AUTHORITY, sizeof(NT_AUTHORITY)) != 0)
        return false;
    for (DWORD i = 0; i < 6; i++) {
        if (*GetSidSubAuthority(sid, i) != TRUSTED_INSTALLER_RIDS[i])
            return false;
    }
    return true;
}

PSID ProcessUser(TokenUserBuffer *buffer)
{
    HANDLE token = NULL;
    DWORD needed = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    BOOL read = GetTokenInformation(token, TokenUser, buffer, sizeof(*buffer), &needed);
    CloseHandle(token);
    return read ? buffer->user.User.Sid : NULL;
}

static bool IsTrustedAccount(PSID sid, PSID self)
{
    return IsValidSid(sid) && (IsWellKnownSid(sid, WinLocalSystemSid) ||
                               IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                               IsTrustedInstaller(sid) || (self && EqualSid(sid, self)));
}

// "DOMAIN\name (S-1-…)", or the SID text alone when the account has no name.
static void NameAccount(PSID sid, WCHAR *who, DWORD whoChars)
{
    WCHAR *text = NULL;
    WCHAR name[128] = {};
    WCHAR domain[128] = {};
    DWORD nameChars = 128;
    DWORD domainChars = 128;
    SID_NAME_USE use;
    if (!ConvertSidToStringSidW(sid, &text))
        text = NULL;
    const WCHAR *sidText = text ? text : L"an unknown account";
    if (LookupAccountSidW(NULL, sid, name, &nameChars, domain, &domainChars, &use) && name[0])
        _snwprintf(who, whoChars, L"%s%s%s (%s)", domain, domain[0] ? L"\\" : L"", name, sidText);
    else
        _snwprintf(who, whoChars, L"%s", sidText);
    who[whoChars - 1] = 0;
    if (text)
        LocalFree(text);
}

// The account of the first allow entry of `dacl` that lets an untrusted account change the
// folder; null when there is none. Inherit-only entries count too: they reach the files and
// folders placed inside, which the tool copies and starts. `unknown` is set when an allow entry
// of a form not read here is found: whom it grants what cannot be told.
static PSID FirstOpeningAccount(PACL dacl, PSID owner, PSID self, bool *unknown)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    *unknown = false;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *header = NULL;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&header))) {
            *unknown = true;
            return NULL;
        }
        if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue; // grants nothing
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
            header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            *unknown = true;
            return NULL;
        }
        ACCESS_ALLOWED_ACE *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
        ACCESS_MASK rights = ace->Mask;
        MapGenericMask(&rights, &mapping);
        if (!(rights & CHANGE_RIGHTS))
            continue;
        PSID sid = &ace->SidStart;
        // CREATOR OWNER is the owner on the folder and the creator of what is placed inside,
        // which only the trusted accounts can place: it is trusted where the owner is.
        if (IsWellKnownSid(sid, WinCreatorOwnerSid))
            sid = owner;
        if (!IsTrustedAccount(sid, self))
            return sid;
    }
    return NULL;
}

static void SayWho(WCHAR *who, DWORD whoChars, const WCHAR *format, const WCHAR *text = L"")
{
    _snwprintf(who, whoChars, format, text);
    who[whoChars - 1] = 0;
}

// `folder` opened for reading its security, when the handle reaches that very folder: not
// through a link (a junction, or a linked folder higher up, which whoever owns the link may
// point elsewhere once the check is done) and not on a network volume (whose Administrators are
// the server's). INVALID_HANDLE_VALUE otherwise: FOLDER_UNREADABLE with the last error set, or
// FOLDER_OPEN with `who` naming who else decides what the folder is.
static HANDLE OpenCheckedFolder(const WCHAR *folder, FolderVerdict *verdict, WCHAR *who,
                                DWORD whoChars)
{
    *verdict = FOLDER_UNREADABLE;
    // No FILE_FLAG_OPEN_REPARSE_POINT: a link is followed, so that its target shows in the
    // final path.
    HANDLE handle = CreateFileW(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    WCHAR *reached = ReachedPath(handle);
    if (!reached) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    WCHAR root[4] = {reached[0], L':', L'\\', 0};
    bool direct = false;
    if (wcsncmp(reached, L"UNC\\", 4) == 0 ||
        (reached[0] && reached[1] == L':' && GetDriveTypeW(root) == DRIVE_REMOTE))
        SayWho(who, whoChars, L"the server of the network volume it is on");
    else if (CompareStringOrdinal(reached, -1, folder, -1, TRUE) != CSTR_EQUAL)
        SayWho(who, whoChars, L"whoever may change the link it is reached through (to '%s')",
               reached);
    else
        direct = true;
    GlobalFree(reached);
    if (direct)
        return handle;
    CloseHandle(handle);
    *verdict = FOLDER_OPEN;
    return INVALID_HANDLE_VALUE;
}

FolderVerdict ExamineFolder(const WCHAR *folder, WCHAR *who, DWORD whoChars)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    PSID owner = NULL;
    PACL dacl = NULL;
    TokenUserBuffer userBuffer;
    who[0] = 0;
    FolderVerdict verdict = FOLDER_UNREADABLE;
    HANDLE handle = OpenCheckedFolder(folder, &verdict, who, whoChars);
    if (handle == INVALID_HANDLE_VALUE)
        return verdict;
    // Read through the handle: the very folder whose path was just checked.
    DWORD read = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                 NULL, &dacl, NULL, &descriptor);
    CloseHandle(handle);
    if (read != ERROR_SUCCESS || !descriptor || !owner) {
        if (descriptor)
            LocalFree(descriptor);
        SetLastError(read != ERROR_SUCCESS ? read : (DWORD)ERROR_INVALID_SECURITY_DESCR);
        return FOLDER_UNREADABLE;
    }
    PSID self = ProcessUser(&userBuffer);
    verdict = FOLDER_TRUSTED;
    bool unknown = false;
    PSID opener = NULL;
    // An owner can always change the access list.
    if (!IsTrustedAccount(owner, self)) {
        opener = owner;
    } else if (!dacl) {
        // No access list grants everyone everything.
        SayWho(who, whoChars, L"everyone (the folder has no access list)");
        verdict = FOLDER_OPEN;
    } else {
        opener = FirstOpeningAccount(dacl, owner, self, &unknown);
        if (unknown) {
            SayWho(who, whoChars, L"an account of an access entry this tool cannot read");
            verdict = FOLDER_OPEN;
        }
    }
    if (opener) {
        NameAccount(opener, who, whoChars);
        verdict = FOLDER_OPEN;
    }
    LocalFree(descriptor);
    return verdict;
}

// Checks one folder; reports a failure when there is a context to report it in.
static bool FolderTrusted(SetupContext *context, const WCHAR *folder)
{
    CountedString bare = NULL;
    BareFolder(&bare, folder);
    WCHAR who[320];
    FolderVerdict verdict = ExamineFolder(StringText(bare), who, 320);
    if (context && verdict == FOLDER_UNREADABLE) {
        LogError(context, ERR_FOLDER_SECURITY, L"Can`t read who can change the folder '%s'",
                 StringText(bare));
    } else if (context && verdict == FOLDER_OPEN) {
        SetLastError(ERROR_SUCCESS);
        LogError(context, ERR_FOLDER_OPEN_TO_OTHERS,
                 L"The folder '%s' can be changed by %s, not only by administrators",
                 StringText(bare), who);
    }
    FreeString(&bare);
    return verdict == FOLDER_TRUSTED;
}

// `folder` and the folder that holds it (the companion's, for the tool's); each is checked.
static bool FolderAndParentChecked(SetupContext *context, const WCHAR *folder)
{
    bool trusted = FolderTrusted(context, folder);
    CountedString bare = NULL;
    CountedString parent = NULL;
    BareFolder(&bare, folder);
    ParentDirectory(&parent, bare);
    if (StringLength(parent) && StringLength(bare) > 3 &&
        !FolderTrusted(context, StringText(parent)))
        trusted = false;
    FreeString(&parent);
    FreeString(&bare);
    return trusted;
}

bool ProductFoldersTrusted(SetupContext *context)
{
    if (!StringLength(context->moduleDir)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        LogError(context, ERR_FOLDER_SECURITY, L"Can`t read who can change the folder '%s'", L"*");
        return false;
    }
    return FolderAndParentChecked(context, StringText(context->moduleDir));
}

bool FolderAndParentTrusted(const WCHAR *folder)
{
    return folder && folder[0] && FolderAndParentChecked(NULL, folder);
}
