// Imports version.dll and winspool.drv the ordinary way, so that a scenario can show that Wine
// loads DLLs planted beside a program: exits with 0 once both calls were made.
#include <windows.h>
#include <winspool.h>

int wmain()
{
    DWORD handle = 0;
    GetFileVersionInfoSizeW(L"C:\\windows\\system32\\kernel32.dll", &handle);
    HANDLE printer = NULL;
    if (OpenPrinterW(NULL, &printer, NULL))
        ClosePrinter(printer);
    return 0;
}
