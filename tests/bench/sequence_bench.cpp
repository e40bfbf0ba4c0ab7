// Figures for scripts/bench: the install and uninstall sequences run in-process, as the
// commands run them, with the spooler restarts they made and the time they slept; then, without
// the companion, against the floor: the same system calls with no logic (sequence_floor.cpp).
// Run from the tool's folder (beside the components); asserts nothing.
#include <windows.h>
#include <winspool.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "flows/sequences.h"
#include "import_hook.h"
#include "sequence_floor.h"
#include "services/file_copy.h"
#include "setup_context.h"

namespace {

DWORD slept;
void WINAPI CountingSleep(DWORD ms)
{
    slept += ms;
    SYSTEM_FUNCTION("kernel32.dll", Sleep)(ms);
}

// The kept printers' records: how many the install writes, their size, and the time spent in
// the registry calls that write, flush and remove them.
DWORD recordsWritten, recordBytes;
LONGLONG recordTicks;

struct TimedCall {
    LARGE_INTEGER start;
    TimedCall()
    {
        QueryPerformanceCounter(&start);
    }
    ~TimedCall()
    {
        LARGE_INTEGER end;
        QueryPerformanceCounter(&end);
        recordTicks += end.QuadPart - start.QuadPart;
    }
};

bool IsRecordsKey(LPCWSTR subKey)
{
    return subKey && wcsstr(subKey, L"Kept printers");
}

LSTATUS WINAPI TimedSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data,
                             DWORD bytes)
{
    if (type != REG_BINARY)
        return SYSTEM_FUNCTION("advapi32.dll", RegSetValueExW)(key, name, reserved, type, data,
                                                               bytes);
    recordsWritten++;
    recordBytes += bytes + (DWORD)(wcslen(name) + 1) * sizeof(WCHAR);
    TimedCall timed;
    return SYSTEM_FUNCTION("advapi32.dll", RegSetValueExW)(key, name, reserved, type, data, bytes);
}
LSTATUS WINAPI TimedFlush(HKEY key)
{
    TimedCall timed;
    return SYSTEM_FUNCTION("advapi32.dll", RegFlushKey)(key);
}
LSTATUS WINAPI TimedDeleteValue(HKEY key, LPCWSTR name)
{
    TimedCall timed;
    return SYSTEM_FUNCTION("advapi32.dll", RegDeleteValueW)(key, name);
}
LSTATUS WINAPI TimedCreateKey(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR kind, DWORD options,
                              REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY key,
                              LPDWORD disposition)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    LSTATUS result = SYSTEM_FUNCTION("advapi32.dll", RegCreateKeyExW)(
        root, subKey, reserved, kind, options, access, security, key, disposition);
    QueryPerformanceCounter(&end);
    if (IsRecordsKey(subKey))
        recordTicks += end.QuadPart - start.QuadPart;
    return result;
}
LSTATUS WINAPI TimedOpenKey(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    LSTATUS result =
        SYSTEM_FUNCTION("advapi32.dll", RegOpenKeyExW)(root, subKey, options, access, key);
    QueryPerformanceCounter(&end);
    if (IsRecordsKey(subKey))
        recordTicks += end.QuadPart - start.QuadPart;
    return result;
}

// `count` product printers with a "SubKey" value, a comment and a location, as users keep them.
void AddKeptPrinters(int count)
{
    for (int i = 0; i < count; i++) {
        WCHAR name[32], comment[32], location[32];
        char value[32];
        swprintf(name, 32, L"Kept %d", i);
        swprintf(comment, 32, L"comment %d", i);
        swprintf(location, 32, L"room %d", i);
        snprintf(value, sizeof(value), "key %d", i);
        PRINTER_INFO_2W info = {};
        info.pPrinterName = name;
        info.pPortName = const_cast<LPWSTR>(L"Zentavo:");
        info.pDriverName = const_cast<LPWSTR>(L"Zentavo printer");
        info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
        info.pDatatype = const_cast<LPWSTR>(L"RAW");
        info.pComment = comment;
        info.pLocation = location;
        HANDLE printer = AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info));
        if (!printer)
            continue;
        SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ,
                        reinterpret_cast<LPBYTE>(value), (DWORD)strlen(value) + 1);
        SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&info), 0);
        ClosePrinter(printer);
    }
}

size_t CountLines(const WCHAR *log, const WCHAR *line)
{
    size_t count = 0, length = wcslen(line);
    for (const WCHAR *p = wcsstr(log, line); p; p = wcsstr(p + length, line))
        count++;
    return count;
}

struct Figures {
    double ms;
    double recordMs;
    size_t restarts;
    DWORD slept;
    LONG errors;
};

double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / frequency.QuadPart;
}

Figures Run(bool install, DWORD mode = SETUP_X64)
{
    slept = 0;
    recordTicks = 0;
    double start = NowMs();
    SetupContext context;
    InitSetupContext(&context, mode);
    if (install)
        ReInstall(&context);
    else
        FullUninstall(&context);
    ScheduleDeletesAtReboot(&context);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    Figures figures = {NowMs() - start, recordTicks * 1000.0 / frequency.QuadPart,
                       CountLines(StringText(context.logText), L">Restart Spooler"), slept,
                       context.errorCount};
    FreeSetupContext(&context);
    return figures;
}

void Report(const char *name, std::vector<Figures> runs)
{
    std::sort(runs.begin(), runs.end(),
              [](const Figures &a, const Figures &b) { return a.ms < b.ms; });
    const Figures &median = runs[runs.size() / 2];
    size_t restarts = 0;
    DWORD sleptMax = 0;
    LONG errors = 0;
    for (const Figures &f : runs) {
        restarts = std::max(restarts, f.restarts);
        sleptMax = std::max(sleptMax, f.slept);
        errors += f.errors;
    }
    printf("%-10s %8.1f ms in-process (median of %zu), spooler restarts %zu, slept %lu ms, "
           "error reports %ld\n",
           name, median.ms, runs.size(), restarts, (unsigned long)sleptMax, (long)errors);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The tool's time less what it slept: in these runs only the companion's 1000 ms pause for a
// missing Run value, which no spooler work shortens.
void CompareWithFloor(const char *name, const std::vector<Figures> &runs,
                      const std::vector<double> &floor)
{
    std::vector<double> work;
    DWORD sleptMax = 0;
    for (const Figures &f : runs) {
        work.push_back(f.ms - f.slept);
        sleptMax = std::max(sleptMax, f.slept);
    }
    double tool = Median(work), base = Median(floor);
    printf("%-10s %8.1f ms without its %lu ms slept, floor %6.1f ms: %.1f times the floor\n", name,
           tool, (unsigned long)sleptMax, base, base > 0 ? tool / base : 0.0);
}

} // namespace

int wmain(int argc, WCHAR **argv)
{
    int rounds = argc > 1 ? _wtoi(argv[1]) : 5;
    g_instance = GetModuleHandleW(NULL);
    ImportHook sleep("kernel32.dll", "Sleep", reinterpret_cast<const void *>(&CountingSleep));
    WCHAR sourceDir[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, sourceDir, MAX_PATH);
    WCHAR *slash = length < MAX_PATH ? wcsrchr(sourceDir, L'\\') : NULL;
    if (!slash)
        return 1;
    slash[1] = 0;
    std::vector<Figures> installs, uninstalls;
    for (int i = 0; i < rounds; i++) {
        installs.push_back(Run(true));
        uninstalls.push_back(Run(false));
    }
    Report("install", installs);
    Report("uninstall", uninstalls);

    {
        // An install that carries kept printers across, each round keeping and re-creating them,
        // in turns with its floor; without the companion, whose quit request waits by the clock.
        // The calls the records need; a build without them imports some of them not at all.
        ImportHook setValue("advapi32.dll", "RegSetValueExW",
                            reinterpret_cast<const void *>(&TimedSetValue), false);
        ImportHook flush("advapi32.dll", "RegFlushKey", reinterpret_cast<const void *>(&TimedFlush),
                         false);
        ImportHook deleteValue("advapi32.dll", "RegDeleteValueW",
                               reinterpret_cast<const void *>(&TimedDeleteValue), false);
        ImportHook createKey("advapi32.dll", "RegCreateKeyExW",
                             reinterpret_cast<const void *>(&TimedCreateKey), false);
        ImportHook openKey("advapi32.dll", "RegOpenKeyExW",
                           reinterpret_cast<const void *>(&TimedOpenKey), false);
        double toolNone = 0, floorNone = 0;
        bool keptFloorOk = true;
        for (int kept : {0, 10, 50, 200}) {
            Run(true, SETUP_X64 | SETUP_NO_TRAY);
            AddKeptPrinters(kept);
            std::vector<Figures> runs;
            std::vector<double> floor;
            recordsWritten = recordBytes = 0;
            for (int i = 0; i < rounds; i++) {
                runs.push_back(Run(true, SETUP_X64 | SETUP_NO_TRAY));
                // The floor writes its records through the same calls: not the tool's.
                DWORD written = recordsWritten, bytes = recordBytes;
                double start = NowMs();
                keptFloorOk = FloorKeepingInstall(sourceDir) && keptFloorOk;
                floor.push_back(NowMs() - start);
                recordsWritten = written;
                recordBytes = bytes;
            }
            char name[32];
            snprintf(name, sizeof(name), "kept %d", kept);
            Report(name, runs);
            std::vector<double> recordMs, work;
            for (const Figures &f : runs) {
                recordMs.push_back(f.recordMs);
                work.push_back(f.ms - f.slept);
            }
            if (recordsWritten)
                printf("%-10s %lu records written, %lu bytes each with its name; %.1f ms in the "
                       "record calls (median)\n",
                       "", (unsigned long)recordsWritten,
                       (unsigned long)(recordBytes / recordsWritten), Median(recordMs));
            CompareWithFloor("", runs, floor);
            double tool = Median(work), base = Median(floor);
            if (kept == 0) {
                toolNone = tool;
                floorNone = base;
            } else {
                printf("%-10s each kept printer %.2f ms, on the floor %.2f ms\n", "",
                       (tool - toolNone) / kept, (base - floorNone) / kept);
            }
            Run(false, SETUP_X64 | SETUP_NO_TRAY);
        }
        if (!keptFloorOk)
            printf("[a floor call of the kept installs failed]\n");
    }

    // Without the companion (in_notray), rounds of the tool and of the floor taken in turns, so
    // that both see the same machine.
    std::vector<Figures> toolInstalls, toolUninstalls;
    std::vector<double> floorInstalls, floorUninstalls;
    bool floorOk = true;
    for (int i = 0; i < rounds; i++) {
        toolInstalls.push_back(Run(true, SETUP_X64 | SETUP_NO_TRAY));
        toolUninstalls.push_back(Run(false, SETUP_X64 | SETUP_NO_TRAY));
        double start = NowMs();
        floorOk = FloorInstall(sourceDir) && floorOk;
        floorInstalls.push_back(NowMs() - start);
        start = NowMs();
        floorOk = FloorUninstall() && floorOk;
        floorUninstalls.push_back(NowMs() - start);
    }
    printf("against the floor (the same spooler calls, copies, enumerations and version reads, "
           "no logic; no companion; median of %d)%s:\n",
           rounds, floorOk ? "" : " [a floor call failed]");
    CompareWithFloor("install", toolInstalls, floorInstalls);
    CompareWithFloor("uninstall", toolUninstalls, floorUninstalls);
    return 0;
}
