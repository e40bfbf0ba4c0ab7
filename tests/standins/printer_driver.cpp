// Stand-in printer driver DLL: the spooler registers it but never renders through it here.
#include <windows.h>

// Takes the engine's version, a buffer size and the driver's enable record; says no, so that a
// graphics engine that ever loads the stand-in fails cleanly instead of drawing through it.
extern "C" __declspec(dllexport) BOOL WINAPI DrvEnableDriver(ULONG, ULONG, void *)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
