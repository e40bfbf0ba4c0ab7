// shellwin.exe STOPFILE: a stand-in for a user's shell. It makes a window of its own the
// desktop's shell window, as a logged-on user's shell does, so that GetShellWindow in other
// programs names this process (Wine registers no shell of its own), and stays until STOPFILE
// exists.
//
// Prints "shell" (then flushes) once other programs find its window, so a caller knows when it
// is in place. Exit codes: 0 ended by the stop file, 1 bad arguments, 2 no window or the shell
// window already taken (the error follows on the output), 3 it outlived its hour.
#include <stdio.h>

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

int Fail(const char *what)
{
    char line[96];
    _snprintf(line, sizeof(line), "%s failed %lu\r\n", what, GetLastError());
    line[sizeof(line) - 1] = 0;
    Print(line);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        Print("usage: shellwin STOPFILE\r\n");
        return 1;
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
