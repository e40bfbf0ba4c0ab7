// reinstall_until.exe K MODULEDIR (without a trailing backslash)
//
// Runs the install's reinstall on the real spooler, with the components of MODULEDIR, and ends
// the process abruptly (TerminateProcess, code 200) just before its K-th call that changes the
// spooler, as a power loss or a killed installer would. With K = 0 it runs to the end and exits
// with the number of such calls it made.
#include <windows.h>
#include <winspool.h>

#include <stdlib.h>

#include "flows/sequences.h"
#include "import_hook.h"
#include "services/file_copy.h"
#include "setup_context.h"
#include "virtual_clock.h"

namespace {

const UINT DIED = 200;
const WORD DEFAULT_PRINTER_SETTER_ORDINAL = 204;
int g_calls = 0;
int g_limit = 0;

void BeforeSpoolerChange()
{
    if (++g_calls == g_limit)
        TerminateProcess(GetCurrentProcess(), DIED);
}

BOOL WINAPI CountedDeletePrinter(HANDLE printer)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", DeletePrinter)(printer);
}
BOOL WINAPI CountedSetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", SetPrinterW)(printer, level, info, command);
}
BOOL WINAPI CountedDeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR name,
                                          DWORD flags, DWORD version)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", DeletePrinterDriverExW)(server, environment, name, flags,
                                                                   version);
}
BOOL WINAPI CountedDeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR name)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", DeleteMonitorW)(server, environment, name);
}
BOOL WINAPI CountedAddMonitorW(LPWSTR server, DWORD level, LPBYTE info)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", AddMonitorW)(server, level, info);
}
BOOL WINAPI CountedAddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", AddPrinterDriverExW)(server, level, info, flags);
}
HANDLE WINAPI CountedAddPrinterW(LPWSTR server, DWORD level, LPBYTE info)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", AddPrinterW)(server, level, info);
}
DWORD WINAPI CountedSetPrinterDataA(HANDLE printer, LPSTR name, DWORD type, LPBYTE data, DWORD size)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", SetPrinterDataA)(printer, name, type, data, size);
}
DWORD WINAPI CountedSetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR name, DWORD type,
                                      LPBYTE data, DWORD size)
{
    BeforeSpoolerChange();
    return SYSTEM_FUNCTION("winspool.drv", SetPrinterDataExA)(printer, key, name, type, data, size);
}

typedef BOOL(WINAPI *DefaultPrinterSetter)(LPCWSTR name);
DefaultPrinterSetter g_realSetter;
BOOL WINAPI CountedSetDefaultPrinter(LPCWSTR name)
{
    BeforeSpoolerChange();
    return g_realSetter(name);
}

// The default-printer setter is reached by ordinal through GetProcAddress.
decltype(&GetProcAddress) g_realGetProcAddress;
FARPROC WINAPI CountingGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = g_realGetProcAddress(module, name);
    if (found && IS_INTRESOURCE(name) &&
        LOWORD(reinterpret_cast<ULONG_PTR>(name)) == DEFAULT_PRINTER_SETTER_ORDINAL &&
        module == GetModuleHandleW(L"winspool.drv")) {
        g_realSetter = reinterpret_cast<DefaultPrinterSetter>(reinterpret_cast<void *>(found));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&CountedSetDefaultPrinter));
    }
    return found;
}

} // namespace

int wmain(int argc, WCHAR **argv)
{
    if (argc < 3)
        return 2;
    g_limit = _wtoi(argv[1]);
    g_instance = GetModuleHandleW(NULL);
    g_realGetProcAddress = SYSTEM_FUNCTION("kernel32.dll", GetProcAddress);
    const struct {
        const char *module, *function;
        const void *replacement;
    } counted[] = {
        {"winspool.drv", "DeletePrinter", (const void *)&CountedDeletePrinter},
        {"winspool.drv", "SetPrinterW", (const void *)&CountedSetPrinterW},
        {"winspool.drv", "DeletePrinterDriverExW", (const void *)&CountedDeletePrinterDriverExW},
        {"winspool.drv", "DeleteMonitorW", (const void *)&CountedDeleteMonitorW},
        {"winspool.drv", "AddMonitorW", (const void *)&CountedAddMonitorW},
        {"winspool.drv", "AddPrinterDriverExW", (const void *)&CountedAddPrinterDriverExW},
        {"winspool.drv", "AddPrinterW", (const void *)&CountedAddPrinterW},
        {"winspool.drv", "SetPrinterDataA", (const void *)&CountedSetPrinterDataA},
        {"winspool.drv", "SetPrinterDataExA", (const void *)&CountedSetPrinterDataExA},
        {"kernel32.dll", "GetProcAddress", (const void *)&CountingGetProcAddress},
    };
    ImportHook *hooks[sizeof(counted) / sizeof(counted[0])];
    int hooked = 0;
    for (const auto &c : counted)
        hooks[hooked++] = new ImportHook(c.module, c.function, c.replacement);
    for (int i = 0; i < hooked; i++) {
        if (!hooks[i]->installed())
            return 3; // a call that is not counted would make the table incomplete
    }

    // The tool's waits on the virtual clock, with a little real time for the spooler service.
    VirtualClock clock;
    clock.onSleep = [](DWORD) { SYSTEM_FUNCTION("kernel32.dll", Sleep)(5); };
    SetupContext context;
    InitSetupContext(&context, SETUP_X64 | SETUP_NO_TRAY);
    Assign(&context.moduleDir, argv[2]);
    Append(&context.moduleDir, L"\\");
    ReInstall(&context);
    ScheduleDeletesAtReboot(&context);
    LONG errors = context.errorCount;
    // The log of a reinstall that reported errors, for the test's output.
    if (errors) {
        const WCHAR *log = StringText(context.logText);
        for (; *log; log++) {
            char c = *log < 128 ? (char)*log : '?';
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_ERROR_HANDLE), &c, 1, &written, NULL);
        }
    }
    FreeSetupContext(&context);
    for (int i = 0; i < hooked; i++)
        delete hooks[i];
    return errors ? 1 : 100 + g_calls;
}
