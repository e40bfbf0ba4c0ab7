// Who can change the tool's folders: owners and access entries, and the reports of the check.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <string>

#include "folder_descriptor.h"
#include "import_hook.h"
#include "services/folder_security.h"
#include "setup_context.h"

namespace {

// The descriptor each folder gets, as SDDL, by the path its handle reaches; a folder without one
// fails with access denied.
std::map<std::wstring, std::wstring> g_descriptors;

// The path a handle reaches, as the system tells it, without "\\?\".
std::wstring ReachedPath(HANDLE handle)
{
    WCHAR path[MAX_PATH + 8] = {};
    if (!SYSTEM_FUNCTION("kernel32.dll", GetFinalPathNameByHandleW)(handle, path, MAX_PATH + 8,
                                                                    VOLUME_NAME_DOS))
        return L"<unknown>";
    return wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
}

DWORD WINAPI FakeGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION,
                                 PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                                 PSECURITY_DESCRIPTOR *descriptor)
{
    EXPECT_EQ(SE_FILE_OBJECT, type);
    auto found = g_descriptors.find(ReachedPath(handle));
    if (found == g_descriptors.end())
        return ERROR_ACCESS_DENIED;
    return DescriptorFromSddl(found->second.c_str(), owner, group, dacl, sacl, descriptor);
}

// What the system tells of where a folder's handle leads, and of the volume it is on, for a row:
// a link's target, a network share, an empty text for a path that cannot be told; null and 0
// for what the real calls say.
const WCHAR *g_reached = nullptr;
UINT g_driveType = 0;
DWORD WINAPI FakeGetFinalPathNameByHandleW(HANDLE handle, LPWSTR path, DWORD chars, DWORD flags)
{
    EXPECT_EQ((DWORD)VOLUME_NAME_DOS, flags);
    if (!g_reached)
        return SYSTEM_FUNCTION("kernel32.dll", GetFinalPathNameByHandleW)(handle, path, chars,
                                                                          flags);
    if (!g_reached[0]) {
        SetLastError(ERROR_NOT_SUPPORTED); // a file system that cannot tell
        return 0;
    }
    std::wstring reached = std::wstring(L"\\\\?\\") + g_reached;
    if (reached.size() + 1 > chars)
        return (DWORD)reached.size() + 1;
    wcscpy(path, reached.c_str());
    return (DWORD)reached.size();
}

UINT WINAPI FakeGetDriveTypeW(LPCWSTR root)
{
    return g_driveType ? g_driveType : SYSTEM_FUNCTION("kernel32.dll", GetDriveTypeW)(root);
}

// The calls through which the check reads a folder, replaced for a test's scope.
class FolderHooks {
    ImportHook security_{"advapi32.dll", "GetSecurityInfo", (const void *)&FakeGetSecurityInfo};
    ImportHook reached_{"kernel32.dll", "GetFinalPathNameByHandleW",
                        (const void *)&FakeGetFinalPathNameByHandleW};
    ImportHook drive_{"kernel32.dll", "GetDriveTypeW", (const void *)&FakeGetDriveTypeW};
};

// Real folders in the tests' scratch space, as the tool's folder and the companion's.
class ScratchFolders {
public:
    std::wstring product, setup;
    ScratchFolders()
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        product = ReachedFolder(std::wstring(temp) + L"folder_security_" +
                                std::to_wstring(GetCurrentProcessId()));
        setup = product + L"\\Setup";
        CreateDirectoryW(setup.c_str(), NULL);
    }
    ~ScratchFolders()
    {
        RemoveDirectoryW(setup.c_str());
        RemoveDirectoryW(product.c_str());
    }

private:
    // The folder made, named as the system names it (the temporary folder's own path may be
    // written otherwise).
    static std::wstring ReachedFolder(const std::wstring &folder)
    {
        CreateDirectoryW(folder.c_str(), NULL);
        HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, 7, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, NULL);
        std::wstring reached = ReachedPath(handle);
        CloseHandle(handle);
        return reached;
    }
};

// The SID of the user this test runs as, in text.
std::wstring SelfSid()
{
    HANDLE token = NULL;
    BYTE buffer[256];
    DWORD needed = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &needed);
    CloseHandle(token);
    WCHAR *text = NULL;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &text);
    std::wstring sid = text ? text : L"";
    LocalFree(text);
    return sid;
}

const WCHAR PROTECTED[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
const WCHAR TRUSTED_INSTALLER[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

TEST(FolderSecurity, OwnersAndAllowEntriesDecide)
{
    const std::wstring self = SelfSid();
    ASSERT_FALSE(self.empty());
    const struct {
        const WCHAR *name;
        std::wstring sddl;
        FolderVerdict verdict;
        const WCHAR *who; // a part of the account named, for FOLDER_OPEN
        // Where the folder's handle leads, and its volume's drive type, when not where it is.
        const WCHAR *reached = nullptr;
        UINT driveType = 0;
        bool upperCase = false; // the folder named in capitals
    } rows[] = {
        {L"as the packages make it", std::wstring(L"O:BA") + PROTECTED, FOLDER_TRUSTED, L""},
        {L"owned by LocalSystem", std::wstring(L"O:SY") + PROTECTED, FOLDER_TRUSTED, L""},
        {L"owned by TrustedInstaller", std::wstring(L"O:") + TRUSTED_INSTALLER + PROTECTED,
         FOLDER_TRUSTED, L""},
        {L"owned by this user, who has full control (Wine's)",
         L"O:" + self + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + self + L")(A;OICI;0x1200a9;;;WD)",
         FOLDER_TRUSTED, L""},
        {L"TrustedInstaller has full control",
         L"O:BAD:(A;;FA;;;" + std::wstring(TRUSTED_INSTALLER) + L")", FOLDER_TRUSTED, L""},
        {L"owned by Users", std::wstring(L"O:BU") + PROTECTED, FOLDER_OPEN, L"S-1-5-32-545"},
        {L"no access list", L"O:BA", FOLDER_OPEN, L"everyone"},
        {L"Authenticated Users may modify (below C:\\)",
         std::wstring(L"O:BA") + PROTECTED + L"(A;OICI;0x1301bf;;;AU)", FOLDER_OPEN, L"S-1-5-11"},
        {L"generic write", L"O:BAD:(A;;GW;;;BU)", FOLDER_OPEN, L"S-1-5-32-545"},
        {L"generic all", L"O:BAD:(A;;GA;;;WD)", FOLDER_OPEN, L"S-1-1-0"},
        {L"append only (a new folder)", L"O:BAD:(A;;0x4;;;BU)", FOLDER_OPEN, L"S-1-5-32-545"},
        {L"delete", L"O:BAD:(A;;SD;;;BU)", FOLDER_OPEN, L"S-1-5-32-545"},
        {L"delete a child", L"O:BAD:(A;;0x40;;;BU)", FOLDER_OPEN, L"S-1-5-32-545"},
        {L"change the permissions", L"O:BAD:(A;;WD;;;BU)", FOLDER_OPEN, L"S-1-5-32-545"},
        {L"take ownership", L"O:BAD:(A;;WO;;;BU)", FOLDER_OPEN, L"S-1-5-32-545"},
        {L"inherit-only: write the files placed inside", L"O:BAD:(A;OIIO;FW;;;BU)", FOLDER_OPEN,
         L"S-1-5-32-545"},
        {L"a denied write grants nothing", L"O:BAD:(D;OICI;FA;;;BU)(A;OICI;FR;;;BU)",
         FOLDER_TRUSTED, L""},
        {L"attributes only", L"O:BAD:(A;;0x1200a9;;;BU)(A;;0x100;;;BU)(A;;0x10;;;BU)",
         FOLDER_TRUSTED, L""},
        {L"CREATOR OWNER where the owner is trusted", L"O:BAD:(A;OICIIO;FA;;;CO)(A;;FA;;;BA)",
         FOLDER_TRUSTED, L""},
        {L"CREATOR OWNER where the owner is not", L"O:BUD:(A;OICIIO;FA;;;CO)", FOLDER_OPEN,
         L"S-1-5-32-545"},
        // Whoever owns a link on the way may point it elsewhere once the check is done.
        {L"reached through a link", std::wstring(L"O:BA") + PROTECTED, FOLDER_OPEN,
         L"the link it is reached through (to 'C:\\canary\\Setup')", L"C:\\canary\\Setup"},
        // A mapped drive's folder leads to its share; the server's administrators are not ours.
        {L"on a network share", std::wstring(L"O:BA") + PROTECTED, FOLDER_OPEN,
         L"the server of the network volume", L"UNC\\server\\share\\Setup"},
        {L"on a network volume with a drive letter", std::wstring(L"O:BA") + PROTECTED, FOLDER_OPEN,
         L"the server of the network volume", nullptr, DRIVE_REMOTE},
        {L"where its handle leads cannot be told", std::wstring(L"O:BA") + PROTECTED,
         FOLDER_UNREADABLE, L"", L""},
        {L"named in other case", std::wstring(L"O:BA") + PROTECTED, FOLDER_TRUSTED, L"", nullptr, 0,
         true},
    };
    ScratchFolders folders;
    FolderHooks hooks;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        g_descriptors[folders.setup] = row.sddl;
        g_reached = row.reached;
        g_driveType = row.driveType;
        std::wstring folder = folders.setup;
        if (row.upperCase)
            CharUpperW(&folder[0]);
        WCHAR who[320] = L"stale";
        EXPECT_EQ(row.verdict, ExamineFolder(folder.c_str(), who, 320));
        if (row.verdict == FOLDER_OPEN)
            EXPECT_NE(nullptr, wcsstr(who, row.who)) << who;
        else
            EXPECT_STREQ(L"", who);
    }
    g_reached = nullptr;
    g_driveType = 0;
    g_descriptors.clear();
    WCHAR who[320];
    EXPECT_EQ(FOLDER_UNREADABLE, ExamineFolder(folders.setup.c_str(), who, 320));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(FOLDER_UNREADABLE, ExamineFolder((folders.setup + L"\\missing").c_str(), who, 320));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

// Wine keeps no access list: it makes one from the Unix mode, owned by the user it runs as,
// Everyone's entry from the others' bits. A folder made as the tests make it passes.
TEST(FolderSecurity, AFolderMadeHerePassesUnderWine)
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir =
        std::wstring(temp) + L"folder_security_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), NULL));
    WCHAR who[320];
    EXPECT_EQ(FOLDER_TRUSTED, ExamineFolder(dir.c_str(), who, 320)) << who;
    RemoveDirectoryW(dir.c_str());
}

TEST(FolderSecurity, BothFoldersAreCheckedAndEachFailureReported)
{
    ScratchFolders folders;
    FolderHooks hooks;
    SetupContext context = {};
    Assign(&context.moduleDir, (folders.setup + L"\\").c_str());

    g_descriptors.clear();
    g_descriptors[folders.setup] = std::wstring(L"O:BA") + PROTECTED;
    g_descriptors[folders.product] = L"O:BAD:(A;OICI;0x1301bf;;;AU)";
    EXPECT_FALSE(ProductFoldersTrusted(&context));
    std::wstring log = StringText(context.logText);
    EXPECT_NE(std::wstring::npos,
              log.find(L"Error(19): The folder '" + folders.product + L"' can be changed by "))
        << log;
    EXPECT_NE(std::wstring::npos, log.find(L"(S-1-5-11), not only by administrators\r\n")) << log;
    EXPECT_EQ(std::wstring::npos, log.find(L"'" + folders.setup + L"'")) << log;
    EXPECT_EQ(1, context.errorCount);

    g_descriptors[folders.product] = std::wstring(L"O:BA") + PROTECTED;
    g_descriptors.erase(folders.setup);
    EXPECT_FALSE(ProductFoldersTrusted(&context));
    log = StringText(context.logText);
    EXPECT_NE(std::wstring::npos, log.find(L"Error(20): Can`t read who can change the folder '" +
                                           folders.setup + L"' - (Access denied.)"))
        << log;
    EXPECT_EQ(2, context.errorCount);

    g_descriptors[folders.setup] = std::wstring(L"O:BA") + PROTECTED;
    EXPECT_TRUE(ProductFoldersTrusted(&context));
    EXPECT_EQ(2, context.errorCount);

    // A link on the way: the folder it leads to is not the one checked, whoever may change it.
    g_reached = L"C:\\canary\\Setup";
    EXPECT_FALSE(ProductFoldersTrusted(&context));
    g_reached = nullptr;
    log = StringText(context.logText);
    EXPECT_NE(std::wstring::npos,
              log.find(L"Error(19): The folder '" + folders.setup +
                       L"' can be changed by whoever may change the link it is reached through "
                       L"(to 'C:\\canary\\Setup'), not only by administrators\r\n"))
        << log;

    // At a drive's root the root itself is the tool's folder, and no parent is asked for.
    const std::wstring root = folders.setup.substr(0, 3);
    Assign(&context.moduleDir, root.c_str());
    g_descriptors[root] = std::wstring(L"O:BA") + PROTECTED;
    EXPECT_TRUE(ProductFoldersTrusted(&context));
    FreeSetupContext(&context);
    g_descriptors.clear();
}

} // namespace
