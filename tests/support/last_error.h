// The value a test seeds the last error with before a call whose error code it checks, so that
// the check cannot pass on a code an earlier call left; no system call sets it.
#pragma once

#include <windows.h>

const DWORD LAST_ERROR_SENTINEL = 0xDEADBEEF;

inline void SeedLastError()
{
    SetLastError(LAST_ERROR_SENTINEL);
}
