// logwinsample.exe: opens the setup tool's own log window with one error report and exits 1
// when it is closed, so that the harness's window reading is tested against the real dialog
// without depending on what an install reports.
#include <windows.h>

#include "dispatcher.h"
#include "dispatcher_internal.h"
#include "setup_context.h"
#include "setup_log.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    g_instance = instance;
    SetupContext context;
    InitSetupContext(&context, SETUP_X64);
    LogLine(&context, L"Sample line");
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogError(&context, ERR_COPY_FILE, L"Sample error");
    ShowLogWindowIfNeeded(&context, NULL);
    FreeSetupContext(&context);
    return 1;
}
