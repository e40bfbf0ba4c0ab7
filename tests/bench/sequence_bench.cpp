// Figures for scripts/bench: the install and uninstall sequences run in-process, as the
// commands run them, with the spooler restarts they made and the time they slept; then, without
// the companion, against the floor: the same system calls with no logic (sequence_floor.cpp).
// Run from the tool's folder (beside the components); asserts nothing.
#include <windows.h>

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
    reinterpret_cast<decltype(&Sleep)>(SystemFunction("kernel32.dll", "Sleep"))(ms);
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
    double start = NowMs();
    SetupContext context;
    InitSetupContext(&context, mode);
    if (install)
        ReInstall(&context);
    else
        FullUninstall(&context);
    ScheduleDeletesAtReboot(&context);
    Figures figures = {NowMs() - start,
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
    std::vector<Figures> installs, uninstalls;
    for (int i = 0; i < rounds; i++) {
        installs.push_back(Run(true));
        uninstalls.push_back(Run(false));
    }
    Report("install", installs);
    Report("uninstall", uninstalls);

    // Without the companion (in_notray), rounds of the tool and of the floor taken in turns, so
    // that both see the same machine.
    WCHAR sourceDir[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, sourceDir, MAX_PATH);
    WCHAR *slash = length < MAX_PATH ? wcsrchr(sourceDir, L'\\') : NULL;
    if (!slash)
        return 1;
    slash[1] = 0;
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
