// Starting a program as the desktop's user: whose token, which desktop, and every refusal; the
// tool's own run in the console's session.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "desktop_model.h"
#include "folder_descriptor.h"
#include "import_hook.h"
#include "services/desktop_user.h"

namespace {

// The program never gets the tool's token: an elevated tool starts it with the token of the
// unelevated shell of its session's user, LocalSystem as the console session's user on that
// session's desktop. Where there is no such user nothing starts, `why` says why, and the tool
// never falls back on its own token.
TEST(StartAsDesktopUser, StartsOnlyAsTheUserOfTheDesktop)
{
    const std::wstring path = L"C:\\P\\zentray.exe";
    const std::wstring started = L": " + path + L" | \"" + path + L"\"";
    struct Row {
        const char *what;
        void (*arrange)(Sessions &world);
        std::wstring start; // empty: nothing is started
        const WCHAR *why;   // empty: no reason
    } rows[] = {
        {"elevated, with a shell", [](Sessions &) {},
         L"CreateProcessWithTokenW as primary copy of shell token on <inherited>" + started, L""},
        {"elevated, no shell", [](Sessions &w) { w.shell = NULL; }, L"",
         L"no user's shell runs on this desktop"},
        {"elevated, the shell's process gone", [](Sessions &w) { w.shellProcessGone = true; }, L"",
         L"the shell's token could not be taken (87)"},
        {"elevated, the shell in another session", [](Sessions &w) { w.shellSession = 2; }, L"",
         L"the shell's token could not be taken (5)"},
        // Another process may have taken the shell window, or the id, before the handle held it.
        {"elevated, the shell window changes hands",
         [](Sessions &w) { w.shellChangesHands = true; }, L"",
         L"the shell's window changed hands while it was read"},
        // An elevated window made the shell's, or an administrator's shell: its rights would
        // reach the program.
        {"elevated, the shell elevated", [](Sessions &w) { w.shellElevated = true; }, L"",
         L"the shell runs elevated"},
        // A user who ended their shell and registered a window of their own in another's session.
        {"elevated, the shell another user's", [](Sessions &w) { w.shellIsSessionUser = false; },
         L"", L"the shell runs as another user than the session's"},
        {"elevated, the session names nobody", [](Sessions &w) { w.sessionNamed = false; }, L"",
         L"the shell runs as another user than the session's"},
        {"elevated, no right to start as another user",
         [](Sessions &w) { w.impersonationHeld = false; }, L"",
         L"the tool may not start programs as another user (1300)"},
        {"LocalSystem, a user at the console",
         [](Sessions &w) {
             w.localSystem = true;
             w.shell = NULL;
             w.consoleSession = 3;
         },
         L"CreateProcessAsUserW as user token of session 3 with the environment of user token "
         L"of session 3 on winsta0\\default" +
             started,
         L""},
        {"LocalSystem, no session at the console",
         [](Sessions &w) {
             w.localSystem = true;
             w.consoleSession = NO_CONSOLE_SESSION;
         },
         L"", L"no user is logged on at the console"},
        {"LocalSystem, nobody logged on",
         [](Sessions &w) {
             w.localSystem = true;
             w.consoleUserLoggedOn = false;
         },
         L"", L"no user is logged on at the console"},
        {"LocalSystem, no environment for the user",
         [](Sessions &w) {
             w.localSystem = true;
             w.environmentMade = false;
         },
         L"", L"the console user's environment could not be made (8)"},
    };
    for (const auto &row : rows) {
        SessionHooks hooks;
        row.arrange(hooks.world);
        WCHAR commandLine[COMMAND_LINE_CHARS];
        ASSERT_TRUE(QuotedCommandLine(path.c_str(), L"", commandLine));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        WCHAR why[START_REFUSAL_CHARS] = L"stale";
        StartAsDesktopUser(path.c_str(), commandLine, &startup, why);
        std::vector<std::wstring> expected;
        if (!row.start.empty())
            expected.push_back(row.start);
        EXPECT_EQ(expected, hooks.world.starts) << row.what;
        EXPECT_STREQ(row.why, why) << row.what;
        EXPECT_TRUE(hooks.world.environments.empty()) << row.what; // every block was destroyed
    }
}

// What the tool's folders' access lists say, for a test's rows.
const WCHAR *toolFoldersSddl = L"";
DWORD WINAPI ToolFoldersSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *owner,
                                     PSID *group, PACL *dacl, PACL *sacl,
                                     PSECURITY_DESCRIPTOR *descriptor)
{
    return DescriptorFromSddl(toolFoldersSddl, owner, group, dacl, sacl, descriptor);
}

// From LocalSystem in a service's session, what the console's user runs is out of reach: the
// tool runs again there with a copy of its own token, moved to the console's session.
TEST(RunToolInSession, RunsTheToolAsLocalSystemInTheConsolesSessionFromTrustedFoldersOnly)
{
    static const WCHAR ADMINS_ONLY[] =
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    static const WCHAR USERS_MODIFY[] =
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
    WCHAR tool[MAX_PATH];
    GetModuleFileNameW(NULL, tool, MAX_PATH);
    const std::wstring child = std::wstring(L"CreateProcessAsUserW as primary copy of the tool's "
                                            L"token in session 1 on winsta0\\default: ") +
                               tool + L" | \"" + tool + L"\" removetray";
    const struct {
        const char *what;
        bool localSystem;
        DWORD ownSession;
        DWORD consoleSession;
        const WCHAR *folders;
        std::vector<std::wstring> starts;
    } rows[] = {
        {"from a service's session", true, 0, 1, ADMINS_ONLY, {child}},
        {"already in the console's session", true, 1, 1, ADMINS_ONLY, {}},
        {"no session at the console", true, 0, NO_CONSOLE_SESSION, ADMINS_ONLY, {}},
        {"elevated, not LocalSystem", false, 0, 1, ADMINS_ONLY, {}},
        // Its path may name another program by now: the tool is not started again from there.
        {"the tool's folders open to users", true, 0, 1, USERS_MODIFY, {}},
    };
    for (const auto &row : rows) {
        SessionHooks hooks;
        ImportHook wait("kernel32.dll", "WaitForSingleObject",
                        reinterpret_cast<const void *>(&FakeWaitForSingleObject));
        toolFoldersSddl = row.folders;
        ImportHook security("advapi32.dll", "GetSecurityInfo",
                            reinterpret_cast<const void *>(&ToolFoldersSecurityInfo));
        hooks.world.localSystem = row.localSystem;
        hooks.world.startsSucceed = true;
        hooks.world.ownSession = row.ownSession;
        hooks.world.consoleSession = row.consoleSession;
        DWORD session = ConsoleSessionOutOfReach();
        if (session != NO_CONSOLE_SESSION)
            RunToolInSession(session, L"removetray", 120000);
        EXPECT_EQ(row.starts, hooks.world.starts) << row.what;
        if (!row.starts.empty()) {
            EXPECT_EQ(std::vector<DWORD>{120000}, hooks.world.processWaits) << row.what;
        }
    }
}

} // namespace
