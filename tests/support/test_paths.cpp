// The tests' paths, the programs they run, whole files, and scratch folders emptied.
#include "test_paths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "import_hook.h"

std::wstring TestExeDir()
{
    WCHAR path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH * 4);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring g_scratchToolPath;

DWORD WINAPI ScratchModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    if (module || g_scratchToolPath.size() >= size)
        return SYSTEM_FUNCTION("kernel32.dll", GetModuleFileNameW)(module, buffer, size);
    wcscpy(buffer, g_scratchToolPath.c_str());
    return (DWORD)g_scratchToolPath.size();
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

std::string ReadWholeFile(const std::wstring &path)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string data(GetFileSize(file, NULL), 0);
    DWORD read = 0;
    if (!data.empty())
        ReadFile(file, &data[0], (DWORD)data.size(), &read, NULL);
    CloseHandle(file);
    return data;
}

::testing::AssertionResult WriteWholeFile(const std::wstring &path, const std::string &data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return ::testing::AssertionFailure()
               << "cannot create " << path << ": error " << GetLastError();
    DWORD written = 0;
    WriteFile(file, data.data(), (DWORD)data.size(), &written, NULL);
    CloseHandle(file);
    if (written != data.size())
        return ::testing::AssertionFailure()
               << written << " of " << data.size() << " bytes written to " << path;
    return ::testing::AssertionSuccess();
}

static bool IsNamed(const WCHAR *name, std::initializer_list<const WCHAR *> only)
{
    if (only.size() == 0)
        return true;
    for (const WCHAR *entry : only)
        if (_wcsicmp(entry, name) == 0)
            return true;
    return false;
}

bool EmptyFolder(const std::wstring &dir, std::initializer_list<const WCHAR *> only)
{
    std::wstring prefix = dir;
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool empty = true;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        std::wstring path = prefix + found.cFileName;
        bool deleted = false;
        if (IsNamed(found.cFileName, only))
            deleted = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                          ? RemoveDirectoryW(path.c_str()) != FALSE
                          : DeleteFileW(path.c_str()) != FALSE;
        if (!deleted)
            empty = false;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

bool RemoveFolder(const std::wstring &dir, std::initializer_list<const WCHAR *> only)
{
    EmptyFolder(dir, only);
    return RemoveDirectoryW(dir.c_str()) != FALSE;
}
