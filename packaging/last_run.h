// The support log's last run, copied into the Windows Installer log when setup.exe reported
// errors.
#pragma once

#include <windows.h>
#include <msi.h>

#include "counted_string.h"

// The support log as it was before a run: whether it existed and when it was last written.
struct SupportLogState {
    bool existed;
    FILETIME written;
};

// The last run of the support log's end, from its header to the end, as UTF-16; false when the
// end holds no run header or cannot be read.
bool ReadLastRun(const WCHAR *logPath, CountedString *run);

void NoteSupportLogState(const WCHAR *logPath, SupportLogState *state);

// Copies the last run of the support log into the installer's log, line by line, when that run
// is the one that just ended with `exitCode`: the file was written since `before`, and the run
// ends with that code. Otherwise one line says the run's log is not there.
void CopyLastRun(MSIHANDLE install, const WCHAR *logPath, const SupportLogState *before,
                 DWORD exitCode);
