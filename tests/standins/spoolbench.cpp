// spoolbench.exe [RUNS]: times the raw spooler calls of one install and uninstall of the
// product, without the setup tool, and prints the median milliseconds of each over RUNS rounds
// (default 9). The floor against which the tool's own times are read.
//
// Expects the stand-in monitor in the system folder and the driver files in the printer driver
// folder; leaves nothing registered when every round succeeded.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include <windows.h>
#include <winspool.h>

#include "spool_calls.h"

namespace {

enum Step {
    ADD_MONITOR,
    ADD_DRIVER,
    ADD_PRINTER,
    SET_PRINTER_DATA,
    DELETE_PRINTER,
    DELETE_DRIVER,
    DELETE_MONITOR,
    STEP_COUNT
};

const char *const STEP_NAMES[STEP_COUNT] = {
    "add monitor",    "add driver",    "add printer",    "set printer data",
    "delete printer", "delete driver", "delete monitor",
};

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int runs = argc > 1 ? _wtoi(argv[1]) : 9;
    if (runs < 1)
        runs = 1;
    std::vector<double> times[STEP_COUNT];
    int failures = 0;
    for (int run = 0; run < runs; run++) {
        double start = NowMs();
        BOOL ok[STEP_COUNT] = {};
        double at[STEP_COUNT + 1];
        at[0] = start;
        ok[ADD_MONITOR] = AddStandinMonitor(L"tvlmon64.dll");
        at[1] = NowMs();
        ok[ADD_DRIVER] = AddStandinDriver();
        at[2] = NowMs();
        HANDLE printer = AddStandinPrinter(L"Zentavo", STANDIN_MONITOR_NAME, L"RAW");
        ok[ADD_PRINTER] = printer != NULL;
        at[3] = NowMs();
        // The tool writes the value twice: plain printer data and under "DsUser".
        ok[SET_PRINTER_DATA] = printer != NULL && SetStandinSubKey(printer, "bench", 3);
        at[4] = NowMs();
        if (printer != NULL)
            ClosePrinter(printer);
        double closed = NowMs();
        ok[DELETE_PRINTER] = DeleteStandinPrinter(L"Zentavo");
        at[5] = NowMs();
        ok[DELETE_DRIVER] = DeleteStandinDriver(0);
        at[6] = NowMs();
        ok[DELETE_MONITOR] = DeleteStandinMonitor();
        at[7] = NowMs();
        for (int step = 0; step < STEP_COUNT; step++) {
            double begin = step == DELETE_PRINTER ? closed : at[step];
            times[step].push_back(at[step + 1] - begin);
            if (!ok[step]) {
                printf("round %d: %s failed\n", run + 1, STEP_NAMES[step]);
                failures++;
            }
        }
    }
    double total = 0;
    for (int step = 0; step < STEP_COUNT; step++) {
        double median = Median(times[step]);
        total += median;
        printf("%-16s %7.2f ms\n", STEP_NAMES[step], median);
    }
    printf("%-16s %7.2f ms (sum of medians, %d rounds)\n", "all", total, runs);
    return failures == 0 ? 0 : 1;
}
