// A DLL planted beside a program under the name of a system DLL: loading it leaves the file
// "<its own path>.loaded" naming the program that loaded it. Every export refuses its call.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR marker[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcatW(marker, L".loaded");
    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return TRUE;
    char program[MAX_PATH];
    DWORD programLength = GetModuleFileNameA(NULL, program, MAX_PATH);
    DWORD written = 0;
    WriteFile(file, program, programLength, &written, NULL);
    WriteFile(file, "\r\n", 2, &written, NULL);
    CloseHandle(file);
    return TRUE;
}

// Every exported name is this one function: on x64 the caller cleans up, whatever it passed.
extern "C" INT_PTR WINAPI PlantedRefuse()
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}
