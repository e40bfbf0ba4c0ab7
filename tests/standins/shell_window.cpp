// shellwin.exe STOPFILE [elevated]: a stand-in for a user's shell. It makes a window of its own
// the desktop's shell window, as a logged-on user's shell does, so that GetShellWindow in other
// programs names this process (Wine registers none of its own), and stays until STOPFILE exists.
//
// A user's shell runs unelevated: started elevated (as Wine starts every process), it runs itself
// again with its token's linked, limited token (TokenLinkedToken, which CreateProcessAsUserW
// honours under Wine) and ends with that copy. With "elevated" it keeps the elevated token, as an
// administrator's shell, or an elevated program's window made the shell's, would.
//
// Prints "shell" (then flushes) once other programs find its window, so a caller knows when it
// is in place. Exit codes: 0 ended by the stop file, 1 bad arguments, 2 no window or the shell
// window already taken, 3 it outlived its hour, 4 no limited token or its copy did not start (the
// error follows on the output).
#include <stdio.h>
#include <wchar.h>

#include <windows.h>

// Exported by user32 but left out of the headers.
extern "C" __declspec(dllimport) BOOL WINAPI SetShellWindow(HWND window);

namespace {

// Longer than any scenario, short enough that a forgotten shell does not outlive a run.
const DWORD SHELL_LIMIT_MS = 60 * 60 * 1000;
const DWORD STOP_POLL_MS = 50;

void Print(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

int Fail(const char *what, int code = 2)
{
    char line[96];
    _snprintf(line, sizeof(line), "%s failed %lu\r\n", what, GetLastError());
    line[sizeof(line) - 1] = 0;
    Print(line);
    return code;
}

bool Elevated(HANDLE token)
{
    TOKEN_ELEVATION elevation = {};
    DWORD needed = 0;
    return GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &needed) &&
           elevation.TokenIsElevated;
}

// Runs this program again as "shellwin STOPFILE limited" with the linked token of its own,
// elevated one, its output inherited, and returns that copy's exit code.
int RunLimited(const wchar_t *stopFile)
{
    HANDLE own = NULL, primary = NULL;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD needed = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) ||
        !GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &needed))
        return Fail("TokenLinkedToken", 4);
    if (!DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, NULL, SecurityImpersonation,
                          TokenPrimary, &primary))
        return Fail("DuplicateTokenEx", 4);
    wchar_t self[MAX_PATH], commandLine[2 * MAX_PATH + 32];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    _snwprintf(commandLine, sizeof(commandLine) / sizeof(commandLine[0]), L"\"%s\" \"%s\" limited",
               self, stopFile);
    commandLine[sizeof(commandLine) / sizeof(commandLine[0]) - 1] = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process;
    if (!CreateProcessAsUserW(primary, self, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                              &process))
        return Fail("CreateProcessAsUserW", 4);
    // The copy ends by the stop file or its own hour.
    WaitForSingleObject(process.hProcess, SHELL_LIMIT_MS + 60 * 1000);
    DWORD code = 4;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2 || argc > 3 ||
        (argc == 3 && wcscmp(argv[2], L"elevated") != 0 && wcscmp(argv[2], L"limited") != 0)) {
        Print("usage: shellwin STOPFILE [elevated]\r\n");
        return 1;
    }
    HANDLE own = NULL;
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) && Elevated(own);
    if (argc == 2 && elevated)
        return RunLimited(argv[1]);
    if (argc == 3 && wcscmp(argv[2], L"limited") == 0 && elevated) {
        SetLastError(0);
        return Fail("the linked token is elevated: dropping elevation", 4);
    }
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"ShellStandIn";
    if (!RegisterClassW(&windowClass))
        return Fail("RegisterClassW");
    HWND window = CreateWindowExW(0, L"ShellStandIn", L"Shell stand-in", WS_POPUP, 0, 0, 1, 1, NULL,
                                  NULL, windowClass.hInstance, NULL);
    if (!window)
        return Fail("CreateWindowExW");
    if (!SetShellWindow(window))
        return Fail("SetShellWindow");
    if (GetShellWindow() != window)
        return Fail("GetShellWindow");
    Print("shell\r\n");
    FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));

    DWORD start = GetTickCount();
    while (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > SHELL_LIMIT_MS)
            return 3;
        MsgWaitForMultipleObjects(0, NULL, FALSE, STOP_POLL_MS, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    DestroyWindow(window);
    return 0;
}
