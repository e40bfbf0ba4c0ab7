// Starting a program as the user of a desktop, never with the tool's own token.
#pragma once

#include <windows.h>

#include "paths.h"

// Room for a quoted program path and what follows it: the longest path and a command word.
const size_t COMMAND_LINE_CHARS = SETUP_PATH_BUFFER + 16;
// Room for the reason StartAsDesktopUser gives for starting nothing.
const DWORD START_REFUSAL_CHARS = 160;
// What WTSGetActiveConsoleSessionId answers while no session is attached to the console.
const DWORD NO_CONSOLE_SESSION = 0xFFFFFFFF;

// Whether this process may run as LocalSystem: its token's user is LocalSystem, or the token
// cannot be read (then nothing is shown to or started for a user that it might be).
bool MayRunAsLocalSystem();

// `"path"` and `tail` into `commandLine`. False for a path longer than 259 characters: it would
// be cut into another program's name.
bool QuotedCommandLine(const WCHAR *path, const WCHAR *tail,
                       WCHAR (&commandLine)[COMMAND_LINE_CHARS]);

// Starts the program `path` (named in full, never searched for) with `commandLine` and
// `startup` as the user of the tool's desktop: from an elevated tool with the unelevated token
// of that session's user's shell, from LocalSystem as the console session's user on that
// session's desktop. Never with the tool's own token. The process's handles are closed at once.
// When there is no such user, `why` (START_REFUSAL_CHARS) says why and nothing starts; when the
// start itself fails, `why` is empty. True when the process was created.
bool StartAsDesktopUser(const WCHAR *path, WCHAR *commandLine, STARTUPINFOW *startup, WCHAR *why);

// The console's session when this tool runs as LocalSystem in another session (a service's),
// where what the console's user runs is out of its reach; NO_CONSOLE_SESSION otherwise.
DWORD ConsoleSessionOutOfReach();
// Runs this program again with the command word `word` in `session`, as LocalSystem there on
// the user's desktop, and waits for it at most `waitMs`. Nothing is started when this program's
// folder or the one above it can be changed by others: its path may name another program by now.
void RunToolInSession(DWORD session, const WCHAR *word, DWORD waitMs);
