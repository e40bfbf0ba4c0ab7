// Stand-in tray companion: holds the companion's mutex and window until asked to quit.
//
// It writes "start" (once its window is up) and "stop" lines, with the local time and its
// process id, to zentray.log beside its program file, which tests read. With a file
// zentray.stubborn beside the program it ignores the quit request (logging "ignore quit"), so that
// a bounded wait can be exercised; it then still ends on WM_CLOSE. A second instance, or one that
// cannot make its window (no display), logs why and ends at once.
#include <stdio.h>

#include <windows.h>

namespace {

const WCHAR MUTEX_NAME[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const WCHAR WINDOW_CLASS[] = L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const UINT QUIT_REQUEST = WM_USER + 2;

WCHAR g_logPath[MAX_PATH];
bool g_stubborn = false;

// The directory of this program with a trailing backslash.
void ProgramDir(WCHAR *dir, DWORD size)
{
    DWORD length = GetModuleFileNameW(NULL, dir, size);
    if (length == 0 || length >= size) {
        dir[0] = 0;
        return;
    }
    WCHAR *slash = wcsrchr(dir, L'\\');
    if (slash != NULL)
        slash[1] = 0;
}

void WriteLog(const char *event)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[160];
    int length = _snprintf(line, sizeof(line), "%04u-%02u-%02u %02u:%02u:%02u.%03u %s pid=%lu\r\n",
                           now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                           now.wMilliseconds, event, GetCurrentProcessId());
    if (length < 0)
        return;
    // Appends are shared so that a test may read the log while the companion runs.
    HANDLE file = CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

LRESULT CALLBACK CompanionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == QUIT_REQUEST) {
        if (g_stubborn) {
            WriteLog("ignore quit");
            return 0;
        }
        WriteLog("quit request");
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    WCHAR dir[MAX_PATH];
    ProgramDir(dir, MAX_PATH);
    _snwprintf(g_logPath, MAX_PATH, L"%szentray.log", dir);
    g_logPath[MAX_PATH - 1] = 0;
    WCHAR marker[MAX_PATH];
    _snwprintf(marker, MAX_PATH, L"%szentray.stubborn", dir);
    marker[MAX_PATH - 1] = 0;
    g_stubborn = GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES;

    // Owned from the start: whoever waits on the mutex learns of the end only by its release.
    HANDLE mutex = CreateMutexW(NULL, TRUE, MUTEX_NAME);
    if (mutex == NULL) {
        WriteLog("no mutex");
        return 2;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another companion holds the name (or a setup tool has it open): this one is not needed.
        CloseHandle(mutex);
        WriteLog("already running");
        return 3;
    }
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = CompanionWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WINDOW_CLASS;
    HWND window = NULL;
    if (RegisterClassW(&windowClass))
        window = CreateWindowExW(0, WINDOW_CLASS, L"Zentavo", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL,
                                 instance, NULL);
    int result = 0;
    if (window == NULL) {
        WriteLog("no window");
        result = 4;
    } else {
        // Only now can it be asked to quit: a test that waits for this line never races it.
        WriteLog(g_stubborn ? "start stubborn" : "start");
        MSG message;
        while (GetMessageW(&message, NULL, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    WriteLog("stop");
    return result;
}
