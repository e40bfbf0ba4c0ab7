// Functions of setup_log that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

struct SetupContext;

// Appends one line: the context's indentation, `text` (null is empty), CR LF.
void LogAppend(SetupContext *context, const WCHAR *text);
