// Stand-in port monitor: one port "Zentavo:" that accepts print data and discards it.
//
// The spooler may load, initialise, shut down and unload this DLL many times in one process
// (every port enumeration does), so it keeps no state outside the port handles it hands out.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

namespace {

const WCHAR PORT_NAME[] = L"Zentavo:";
const WCHAR PORT_DESCRIPTION[] = L"Zentavo virtual port";
const WCHAR HOLD_FILE[] = L"C:\\windows\\temp\\tvlmon.hold";

// What one open port handle knows; the spooler owns it between OpenPort and ClosePort.
struct PortState {
    DWORD magic;
    BOOL inDocument;
    ULONGLONG bytesDiscarded;
};

const DWORD PORT_MAGIC = 0x5A504F52;

PortState *PortFromHandle(HANDLE port)
{
    PortState *state = static_cast<PortState *>(port);
    if (state == NULL || state->magic != PORT_MAGIC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return state;
}

// Copies `text` to the end of the free area that ends at `*end` and returns where it landed.
LPWSTR PackString(BYTE **end, const WCHAR *text)
{
    size_t bytes = (lstrlenW(text) + 1) * sizeof(WCHAR);
    *end -= bytes;
    CopyMemory(*end, text, bytes);
    return reinterpret_cast<LPWSTR>(*end);
}

// Levels 1 and 2, one record, strings packed behind it as the spooler's own monitors do.
BOOL WINAPI StandinEnumPorts(HANDLE, LPWSTR, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                             LPDWORD returned)
{
    DWORD record;
    DWORD strings = sizeof(PORT_NAME);
    if (level == 1) {
        record = sizeof(PORT_INFO_1W);
    } else if (level == 2) {
        record = sizeof(PORT_INFO_2W);
        strings += sizeof(PORT_NAME) + sizeof(PORT_DESCRIPTION);
    } else {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (returned != NULL)
        *returned = 0;
    if (needed != NULL)
        *needed = record + strings;
    if (ports == NULL || size < record + strings) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE *end = ports + record + strings;
    if (level == 1) {
        PORT_INFO_1W *info = reinterpret_cast<PORT_INFO_1W *>(ports);
        info->pName = PackString(&end, PORT_NAME);
    } else {
        PORT_INFO_2W *info = reinterpret_cast<PORT_INFO_2W *>(ports);
        info->pPortName = PackString(&end, PORT_NAME);
        info->pMonitorName = PackString(&end, PORT_NAME);
        info->pDescription = PackString(&end, PORT_DESCRIPTION);
        info->fPortType = PORT_TYPE_WRITE;
        info->Reserved = 0;
    }
    if (returned != NULL)
        *returned = 1;
    return TRUE;
}

BOOL WINAPI StandinOpenPort(HANDLE, LPWSTR name, PHANDLE port)
{
    if (name == NULL || port == NULL || lstrcmpW(name, PORT_NAME) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortState *state =
        static_cast<PortState *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PortState)));
    if (state == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    state->magic = PORT_MAGIC;
    *port = state;
    return TRUE;
}

BOOL WINAPI StandinStartDocPort(HANDLE port, LPWSTR, DWORD, DWORD, LPBYTE)
{
    PortState *state = PortFromHandle(port);
    if (state == NULL)
        return FALSE;
    state->inDocument = TRUE;
    return TRUE;
}

// The data goes nowhere: the stand-in only has to look like a port that takes everything.
BOOL WINAPI StandinWritePort(HANDLE port, LPBYTE, DWORD size, LPDWORD written)
{
    PortState *state = PortFromHandle(port);
    if (state == NULL)
        return FALSE;
    state->bytesDiscarded += size;
    if (written != NULL)
        *written = size;
    return TRUE;
}

BOOL WINAPI StandinReadPort(HANDLE, LPBYTE, DWORD, LPDWORD read)
{
    if (read != NULL)
        *read = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI StandinEndDocPort(HANDLE port)
{
    PortState *state = PortFromHandle(port);
    if (state == NULL)
        return FALSE;
    state->inDocument = FALSE;
    return TRUE;
}

BOOL WINAPI StandinClosePort(HANDLE port)
{
    PortState *state = PortFromHandle(port);
    if (state == NULL)
        return FALSE;
    state->magic = 0;
    HeapFree(GetProcessHeap(), 0, state);
    return TRUE;
}

VOID WINAPI StandinShutdown(HANDLE) {}

MONITOR2 BuildMonitorTable()
{
    MONITOR2 table;
    ZeroMemory(&table, sizeof(table));
    table.cbSize = sizeof(MONITOR2);
    table.pfnEnumPorts = StandinEnumPorts;
    table.pfnOpenPort = StandinOpenPort;
    table.pfnOpenPortEx = NULL; // a port monitor, not a language monitor
    table.pfnStartDocPort = StandinStartDocPort;
    table.pfnWritePort = StandinWritePort;
    table.pfnReadPort = StandinReadPort;
    table.pfnEndDocPort = StandinEndDocPort;
    table.pfnClosePort = StandinClosePort;
    table.pfnAddPort = NULL;       // the one port is fixed
    table.pfnAddPortEx = NULL;     // the one port is fixed
    table.pfnConfigurePort = NULL; // nothing to configure
    table.pfnDeletePort = NULL;    // the one port is fixed
    table.pfnGetPrinterDataFromPort = NULL;
    table.pfnSetPortTimeOuts = NULL;
    table.pfnXcvOpenPort = NULL; // no port UI talks to this monitor
    table.pfnXcvDataPort = NULL;
    table.pfnXcvClosePort = NULL;
    table.pfnShutdown = StandinShutdown;
    return table;
}

const MONITOR2 g_monitor = BuildMonitorTable();

} // namespace

// Takes the spooler's init record and gives back the monitor table and a monitor handle, which
// this stand-in never uses (the spooler only passes it back).
extern "C" __declspec(dllexport) LPMONITOR2 WINAPI
    InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitor)
{
    if (init == NULL || monitor == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    // While this file exists (a minute at most) the spooler's caller stays inside this call:
    // a scenario can end it at a known step, between a monitor's removal and its new start.
    for (int wait = 0; wait < 1200 && GetFileAttributesW(HOLD_FILE) != INVALID_FILE_ATTRIBUTES;
         wait++)
        Sleep(50);
    *monitor = reinterpret_cast<HANDLE>(const_cast<MONITOR2 *>(&g_monitor));
    return const_cast<MONITOR2 *>(&g_monitor);
}
