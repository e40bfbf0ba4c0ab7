// hiddenrun.exe PROGRAM [ARGS...]: runs PROGRAM on a window station of its own that no user
// sees, as a service or a software-distribution agent starts an installer, and returns its exit
// code. A window it opens there can never be closed, so the wait is bounded: after 60 s the
// program is ended and the code is 124. 125: the station could not be made, or is visible.
#include <stdio.h>

#include <string>

#include <windows.h>

namespace {

const DWORD LIMIT_MS = 60000;
const int EXIT_LIMIT = 124;
const int EXIT_NO_STATION = 125;

int Fail(const char *what)
{
    fprintf(stderr, "hiddenrun: %s (error %lu)\n", what, GetLastError());
    return EXIT_NO_STATION;
}

void AppendArgument(std::wstring &line, const WCHAR *argument)
{
    if (!line.empty())
        line += L' ';
    bool quote = *argument == 0 || wcspbrk(argument, L" \t") != NULL;
    if (quote)
        line += L'"';
    line += argument;
    if (quote)
        line += L'"';
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: hiddenrun PROGRAM [ARGS...]\n");
        return 2;
    }
    // A window station made without WSF_VISIBLE is invisible, as a service's is; the program
    // needs a desktop on it to start.
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationW(L"ZentavoHidden", 0, WINSTA_ALL_ACCESS, NULL);
    if (!station)
        return Fail("no window station");
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
        return Fail("no flags of the window station");
    if (flags.dwFlags & WSF_VISIBLE) {
        SetLastError(0);
        return Fail("the new window station is visible");
    }
    if (!SetProcessWindowStation(station))
        return Fail("cannot enter the window station");
    HDESK desktop = CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL);
    SetProcessWindowStation(own);
    if (!desktop)
        return Fail("no desktop on the window station");

    std::wstring line;
    for (int i = 1; i < argc; i++)
        AppendArgument(line, argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    WCHAR where[] = L"ZentavoHidden\\Default";
    startup.lpDesktop = where;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return Fail("the program did not start");
    DWORD code = EXIT_LIMIT;
    if (WaitForSingleObject(process.hProcess, LIMIT_MS) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, EXIT_LIMIT);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseDesktop(desktop);
    CloseWindowStation(station);
    return (int)code;
}
