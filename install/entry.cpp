// Entry point of setup.exe: runs the one command of its command line.
#include <windows.h>

#include "dispatcher.h"
#include "setup_context.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    g_instance = instance;
    return RunCommandLine(GetCommandLineW());
}
