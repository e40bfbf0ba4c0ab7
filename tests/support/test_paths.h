// Where the tests find the built programs and put what they save, whole files read and written,
// and scratch folders emptied.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <initializer_list>
#include <string>

// The folder of the running test executable, with a trailing backslash.
std::wstring TestExeDir();
// build\bin\setup.exe beside the tests' folder.
std::wstring SetupExePath();
// build\ (the tests' parent folder), for saved screenshots and scratch files.
std::wstring BuildDir();

// What GetModuleFileNameW, hooked by ScratchModuleFileNameW, gives as the running program's path:
// a tool in a scratch folder, whose files the code under test may act on. Other modules' names,
// and a path too long for the caller's buffer, come from the real call.
extern std::wstring g_scratchToolPath;
DWORD WINAPI ScratchModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

// Runs a program with the given arguments and returns its exit code, or -1 when it did not run
// or outlived `timeoutMs`.
int RunProgram(const std::wstring &path, const std::wstring &arguments, unsigned timeoutMs);

// A file's bytes, or "<missing>" when it cannot be opened.
std::string ReadWholeFile(const std::wstring &path);
// Creates or replaces a file with exactly these bytes; a failure says what went wrong.
::testing::AssertionResult WriteWholeFile(const std::wstring &path, const std::string &data);

// Deletes what lies directly in `dir` (with or without a trailing backslash): every file and
// empty folder, or only the entries named in `only` when it names any. True when `dir` could be
// listed and nothing is left in it.
bool EmptyFolder(const std::wstring &dir, std::initializer_list<const WCHAR *> only = {});
// Empties `dir` as EmptyFolder does, then removes it. True when it is gone, that is when nothing
// but what was deleted lay in it: a scratch folder's check that no test left files behind.
bool RemoveFolder(const std::wstring &dir, std::initializer_list<const WCHAR *> only = {});
