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

// The descriptor each folder path gets, as SDDL; a path without one fails with access denied.
std::map<std::wstring, std::wstring> g_descriptors;

DWORD WINAPI FakeGetNamedSecurityInfoW(LPCWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION,
                                       PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                                       PSECURITY_DESCRIPTOR *descriptor)
{
    auto found = g_descriptors.find(path);
    if (found == g_descriptors.end())
        return ERROR_ACCESS_DENIED;
    return DescriptorFromSddl(found->second.c_str(), owner, group, dacl, sacl, descriptor);
}

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

const WCHAR FOLDER[] = L"C:\\Tools\\Zentavo\\Setup";
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
    };
    ImportHook hook("advapi32.dll", "GetNamedSecurityInfoW",
                    (const void *)&FakeGetNamedSecurityInfoW);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        g_descriptors[FOLDER] = row.sddl;
        WCHAR who[320] = L"stale";
        EXPECT_EQ(row.verdict, ExamineFolder(FOLDER, who, 320));
        if (row.verdict == FOLDER_OPEN)
            EXPECT_NE(nullptr, wcsstr(who, row.who)) << who;
        else
            EXPECT_STREQ(L"", who);
    }
    g_descriptors.clear();
    WCHAR who[320];
    EXPECT_EQ(FOLDER_UNREADABLE, ExamineFolder(FOLDER, who, 320));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
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
    ImportHook hook("advapi32.dll", "GetNamedSecurityInfoW",
                    (const void *)&FakeGetNamedSecurityInfoW);
    SetupContext context = {};
    Assign(&context.moduleDir, L"C:\\Tools\\Zentavo\\Setup\\");

    g_descriptors.clear();
    g_descriptors[L"C:\\Tools\\Zentavo\\Setup"] = std::wstring(L"O:BA") + PROTECTED;
    g_descriptors[L"C:\\Tools\\Zentavo"] = L"O:BAD:(A;OICI;0x1301bf;;;AU)";
    EXPECT_FALSE(ProductFoldersTrusted(&context));
    std::wstring log = StringText(context.logText);
    EXPECT_NE(std::wstring::npos, log.find(L"Error(19): The folder 'C:\\Tools\\Zentavo' can be "
                                           L"changed by "))
        << log;
    EXPECT_NE(std::wstring::npos, log.find(L"(S-1-5-11), not only by administrators\r\n")) << log;
    EXPECT_EQ(std::wstring::npos, log.find(L"'C:\\Tools\\Zentavo\\Setup'")) << log;
    EXPECT_EQ(1, context.errorCount);

    g_descriptors[L"C:\\Tools\\Zentavo"] = std::wstring(L"O:BA") + PROTECTED;
    g_descriptors.erase(L"C:\\Tools\\Zentavo\\Setup");
    EXPECT_FALSE(ProductFoldersTrusted(&context));
    log = StringText(context.logText);
    EXPECT_NE(std::wstring::npos, log.find(L"Error(20): Can`t read who can change the folder "
                                           L"'C:\\Tools\\Zentavo\\Setup' - (Access denied.)"))
        << log;
    EXPECT_EQ(2, context.errorCount);

    g_descriptors[L"C:\\Tools\\Zentavo\\Setup"] = std::wstring(L"O:BA") + PROTECTED;
    EXPECT_TRUE(ProductFoldersTrusted(&context));
    EXPECT_EQ(2, context.errorCount);

    // At a drive's root the root itself is the tool's folder, and no parent is asked for.
    Assign(&context.moduleDir, L"D:\\");
    g_descriptors[L"D:\\"] = std::wstring(L"O:BA") + PROTECTED;
    EXPECT_TRUE(ProductFoldersTrusted(&context));
    FreeSetupContext(&context);
    g_descriptors.clear();
}

} // namespace
