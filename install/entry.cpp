// Entry point of setup.exe: runs the one command of its command line.
#include <windows.h>

#include "dispatcher.h"
#include "setup_context.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before any delay-loaded DLL: those load from the system directory only, never from the
    // tool's folder, where anyone who can write there could plant one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    g_instance = instance;
    return RunCommandLine(GetCommandLineW());
}
