// Functions of file_copy that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

struct SetupContext;

// Opens a file for writing, retrying a locked one: 100 attempts 50 ms apart within 10 s.
// INVALID_HANDLE_VALUE when it could not be opened.
HANDLE CreateFileWithRetry(SetupContext *context, const WCHAR *path);
