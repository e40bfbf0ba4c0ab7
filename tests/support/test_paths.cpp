#include "test_paths.h"

#include <windows.h>

std::wstring TestExeDir()
{
    WCHAR path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH * 4);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring BuildDir()
{
    std::wstring tests = TestExeDir();
    tests.pop_back();
    return tests.substr(0, tests.find_last_of(L"\\/") + 1);
}

std::wstring SetupExePath()
{
    return BuildDir() + L"bin\\setup.exe";
}

int RunProgram(const std::wstring &path, const std::wstring &arguments, unsigned timeoutMs)
{
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &process))
        return -1;
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 255);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}
