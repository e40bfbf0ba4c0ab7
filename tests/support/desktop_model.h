// A model of the sessions, shells and tokens that starting a program as the desktop's user
// reads. Wine runs every process as one elevated user in session 1 and registers no shell, so
// which token, session and desktop a process gets is shown here by replacing the calls: the
// fakes label the handles they give out, and each process-creation call is written down with
// the labels it was handed.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "import_hook.h"

struct Sessions {
    bool localSystem = false; // the tool's token user
    HWND shell = reinterpret_cast<HWND>(0x5150);
    DWORD shellProcessId = 4242;
    DWORD shellSession = 1, ownSession = 1, consoleSession = 1;
    bool shellProcessGone = false;
    // Once the shell's process is opened, its window is another process's.
    bool shellChangesHands = false;
    bool shellElevated = false;
    bool shellIsSessionUser = true; // the shell's token user is the one the session names
    bool sessionNamed = true;       // the session tells its user's name
    bool impersonationHeld = true;
    bool consoleUserLoggedOn = true;
    bool startsSucceed = false;
    std::map<HANDLE, std::wstring> labels;
    std::map<HANDLE, DWORD> tokenSessions;
    bool environmentMade = true;
    std::map<LPVOID, std::wstring> environments; // blocks made and not yet destroyed
    WCHAR environmentBlock[4] = {L'A', L'=', 0, 0};
    std::vector<std::wstring> starts; // "API as TOKEN on DESKTOP: PROGRAM | COMMAND LINE"
    // What the test notes at each start (the registry as the started program finds it).
    std::wstring (*noteAtStart)() = nullptr;
    std::vector<std::wstring> notedAtStart;
    std::vector<DWORD> processWaits;
    bool shellOpened = false;
    // The code under test closes what it is given; a handle it keeps is left to the process's
    // end, never closed twice.
    HANDLE make(const std::wstring &label);
    std::wstring label(HANDLE handle) const;
};
extern Sessions *sessions;

// Every start's command line and program name, whichever call made it, also without a model.
extern std::vector<std::wstring> startedCommandLines, startedPrograms;

// Answers WAIT_OBJECT_0 at once for a started process's handle, noting the time-out.
DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD timeout);

// The calls that decide as whom and where a process starts, replaced for a test's scope: by
// default an elevated tool with an unelevated user's shell on its desktop.
class SessionHooks {
public:
    Sessions world;
    SessionHooks();
    ~SessionHooks();

private:
    ImportHook hooks_[17];
};
