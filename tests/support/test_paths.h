// Where the tests find the built programs and put what they save, and whole files read and
// written.
#pragma once

#include <string>

// The folder of the running test executable, with a trailing backslash.
std::wstring TestExeDir();
// build\bin\setup.exe beside the tests' folder.
std::wstring SetupExePath();
// build\ (the tests' parent folder), for saved screenshots and scratch files.
std::wstring BuildDir();

// Runs a program with the given arguments and returns its exit code, or -1 when it did not run
// or outlived `timeoutMs`.
int RunProgram(const std::wstring &path, const std::wstring &arguments, unsigned timeoutMs);

// A file's bytes, or "<missing>" when it cannot be opened.
std::string ReadWholeFile(const std::wstring &path);
// Creates or replaces a file with exactly these bytes.
void WriteWholeFile(const std::wstring &path, const std::string &data);
