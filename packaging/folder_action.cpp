// The packages' folders: made so that only administrators can change them, or refused when an
// existing one can be changed by others. The installer calls SecureFolder; the Windows Installer
// package runs SecureInstallFolders before it lays out a file.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <stdio.h>
#include <string.h>

#include "action_data.h"
#include "counted_string.h"
#include "paths.h"
#include "services/folder_security.h"
#include "setup_log.h"
#include "support_log.h"

// Owned by Administrators; LocalSystem and Administrators full control, Users read and execute;
// nothing inherited from the parent, whoever may change that.
static const WCHAR FOLDER_DESCRIPTOR[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

enum FolderOutcome { FOLDER_READY = 0, FOLDER_REFUSED = 1, FOLDER_FAILED = 2 };

// Makes `folder` (absolute, no trailing separator) with the protected access list; its missing
// parents are made as the system makes folders. True when it was made.
static bool MakeProtectedFolder(const WCHAR *folder)
{
    CountedString parent = NULL;
    size_t length = wcslen(folder);
    for (size_t i = 3; i < length; i++) {
        if (folder[i] != L'\\')
            continue;
        Assign(&parent, L"");
        AppendCount(&parent, folder, i);
        CreateDirectoryW(StringText(parent), NULL); // an existing one is checked below
    }
    FreeString(&parent);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_DESCRIPTOR, SDDL_REVISION_1,
                                                              &descriptor, NULL))
        return false;
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    BOOL made = CreateDirectoryW(folder, &security);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return made != FALSE;
}

// Makes `bare` (a folder as BareFolder names it) with the protected access list, or checks the
// one that exists. FOLDER_REFUSED puts the account that can change it into `who`; FOLDER_FAILED
// its system error, as a number.
static UINT SecureBareFolder(const WCHAR *bare, WCHAR *who, DWORD whoChars)
{
    UINT outcome = FOLDER_READY;
    who[0] = 0;
    // Made now, by this process, with its own list: nothing else could change it meanwhile.
    if (!MakeProtectedFolder(bare) && GetLastError() != ERROR_ALREADY_EXISTS) {
        _snwprintf(who, whoChars, L"%lu", GetLastError());
        outcome = FOLDER_FAILED;
    } else {
        switch (ExamineFolder(bare, who, whoChars)) {
        case FOLDER_TRUSTED:
            break;
        case FOLDER_OPEN:
            outcome = FOLDER_REFUSED;
            break;
        case FOLDER_UNREADABLE:
            _snwprintf(who, whoChars, L"%lu", GetLastError());
            outcome = FOLDER_FAILED;
            break;
        }
    }
    who[whoChars - 1] = 0;
    return outcome;
}

// The installer's call: SecureBareFolder for `folder` as given.
extern "C" UINT __stdcall SecureFolder(const WCHAR *folder, WCHAR *who, DWORD whoChars)
{
    if (!folder || !who || whoChars < 16)
        return FOLDER_FAILED;
    CountedString bare = NULL;
    BareFolder(&bare, folder);
    UINT outcome = SecureBareFolder(StringText(bare), who, whoChars);
    FreeString(&bare);
    return outcome;
}

// The deferred action's data, "COMPANIONFOLDER|TOOLFOLDER": each folder made or checked in that
// order; the first that is refused, or cannot be made, ends the install before any file is laid
// out.
extern "C" UINT __stdcall SecureInstallFolders(MSIHANDLE install)
{
    CountedString data = NULL;
    UINT result = ERROR_INSTALL_FAILURE;
    if (ReadActionData(install, &data) && StringLength(data) > 0)
        result = ERROR_SUCCESS;
    const WCHAR *at = StringText(data);
    WCHAR text[LOG_LINE_CHARS];
    while (result == ERROR_SUCCESS && *at) {
        const WCHAR *end = wcschr(at, DATA_SEPARATOR);
        CountedString field = NULL, folder = NULL;
        AppendCount(&field, at, end ? (size_t)(end - at) : wcslen(at));
        // Named as the tool names folders, without a trailing separator.
        BareFolder(&folder, StringText(field));
        FreeString(&field);
        WCHAR who[320];
        UINT outcome = SecureBareFolder(StringText(folder), who, 320);
        if (outcome == FOLDER_REFUSED)
            _snwprintf(text, LOG_LINE_CHARS,
                       L"The folder '%s' can be changed by %s, not only by administrators: "
                       L"nothing is installed there",
                       StringText(folder), who);
        else if (outcome == FOLDER_FAILED)
            _snwprintf(text, LOG_LINE_CHARS, L"Can't make the folder '%s' (error %s)",
                       StringText(folder), who);
        text[LOG_LINE_CHARS - 1] = 0;
        if (outcome != FOLDER_READY) {
            LogMessage(install, REPORT_FAILURE, text);
            result = ERROR_INSTALL_FAILURE;
        }
        FreeString(&folder);
        at = end ? end + 1 : at + wcslen(at);
    }
    FreeString(&data);
    return result;
}

// Rollback of a first install, its data the tool's folder. Once Windows Installer has taken back
// the files it laid out, the tool's support log (which no table names) would keep both folders:
// the log goes, then each folder that is empty. The log of the failed run is in the installer's
// own log already. Only folders that only administrators can change are touched, so that no one
// could have put a link in the log's place.
extern "C" UINT __stdcall RemoveFailedInstallFolders(MSIHANDLE install)
{
    CountedString data = NULL, folder = NULL, companionFolder = NULL, log = NULL;
    if (ReadActionData(install, &data) && StringLength(data) > 0) {
        BareFolder(&folder, StringText(data));
        ParentDirectory(&companionFolder, folder);
        if (JoinPath(&log, StringText(folder), SUPPORT_LOG_NAME) &&
            IsPlainAbsolutePath(StringText(log)) && FolderAndParentTrusted(StringText(folder))) {
            DeleteFileW(StringText(log));
            if (RemoveDirectoryW(StringText(folder)))
                RemoveDirectoryW(StringText(companionFolder));
            Report(
                install, INSTALLMESSAGE_INFO,
                L"A failed first install: its support log and its empty folders are removed (%s).",
                StringText(folder));
        }
    }
    FreeString(&log);
    FreeString(&companionFolder);
    FreeString(&folder);
    FreeString(&data);
    return ERROR_SUCCESS;
}
