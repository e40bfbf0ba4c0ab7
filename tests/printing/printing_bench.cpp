// printing_bench.exe [RUNS]: times InstallPortMonitor, InstallPrinterDriver and the re-creation
// of N kept printers against the raw spooler calls that do the same work, in the current
// prefix, and prints the medians and their ratios. Leaves nothing registered.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <winspool.h>

#include "printing/port_monitor.h"
#include "printing/printer_driver.h"
#include "printing/printer_queues.h"
#include "setup_context.h"

namespace {

double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::wstring g_components, g_systemDir, g_driverDir;

LPWSTR W(const WCHAR *text)
{
    return const_cast<LPWSTR>(text);
}

void RawAddMonitor()
{
    CopyFileW((g_components + L"tvlmon64.dll").c_str(), (g_systemDir + L"tvlmon64.dll").c_str(),
              FALSE);
    MONITOR_INFO_2W info = {W(L"Zentavo:"), W(L"Windows x64"), W(L"tvlmon64.dll")};
    AddMonitorW(NULL, 2, (LPBYTE)&info);
}

void RemoveMonitor()
{
    DeleteMonitorW(NULL, NULL, W(L"Zentavo:"));
    DeleteFileW((g_systemDir + L"tvlmon64.dll").c_str());
}

void RawAddDriver()
{
    const WCHAR *names[] = {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"};
    for (const WCHAR *name : names)
        CopyFileW((g_components + name).c_str(), (g_driverDir + name).c_str(), FALSE);
    std::wstring driver = g_driverDir + names[0], ui = g_driverDir + names[1],
                 help = g_driverDir + names[2];
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = W(L"Zentavo printer");
    info.pEnvironment = W(L"Windows x64");
    info.pDriverPath = W(driver.c_str());
    info.pDataFile = W(driver.c_str());
    info.pConfigFile = W(ui.c_str());
    info.pHelpFile = W(help.c_str());
    AddPrinterDriverExW(NULL, 6, (LPBYTE)&info, APD_COPY_ALL_FILES);
    for (const WCHAR *name : names)
        DeleteFileW((g_driverDir + name).c_str());
}

void RemoveDriver()
{
    DeletePrinterDriverExW(NULL, W(L"Windows x64"), W(L"Zentavo printer"), 0, 0);
    for (const WCHAR *name : {L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"})
        DeleteFileW((g_driverDir + L"3\\" + name).c_str());
}

std::wstring PrinterName(int i)
{
    return L"Bench " + std::to_wstring(i);
}

// What re-creating one kept printer costs at the least: add, two writes, read, write back.
void RawAddPrinter(const std::wstring &name)
{
    PRINTER_INFO_2W info = {};
    info.pPrinterName = W(name.c_str());
    info.pPortName = W(L"Zentavo:");
    info.pDriverName = W(L"Zentavo printer");
    info.pComment = W(L"");
    info.pPrintProcessor = W(L"WinPrint");
    info.pDatatype = W(L"RAW");
    HANDLE printer = AddPrinterW(NULL, 2, (LPBYTE)&info);
    if (!printer)
        return;
    SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, (LPBYTE) "bench", 6);
    SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, (LPBYTE) "bench", 6);
    BYTE record[4096];
    DWORD needed = 0;
    if (GetPrinterW(printer, 2, record, sizeof(record), &needed))
        SetPrinterW(printer, 2, record, 0);
    ClosePrinter(printer);
}

void DeletePrinters(int n)
{
    for (int i = 0; i < n; i++) {
        HANDLE printer = NULL;
        PRINTER_DEFAULTSW defaults = {NULL, NULL, PRINTER_ALL_ACCESS};
        if (OpenPrinterW(W(PrinterName(i).c_str()), &printer, &defaults)) {
            DeletePrinter(printer);
            ClosePrinter(printer);
        }
    }
}

void PrepareContext(SetupContext *context)
{
    InitSetupContext(context, SETUP_X64);
    Assign(&context->moduleDir, g_components.c_str());
}

int Count(const SetupContext &context, const WCHAR *line)
{
    int n = 0;
    for (const WCHAR *p = StringText(context.logText); (p = wcsstr(p, line)) != NULL; p++)
        n++;
    return n;
}

int g_restarts, g_retries, g_errors;

void Audit(const SetupContext &context)
{
    g_restarts += Count(context, L">Restart Spooler");
    g_retries += Count(context, L"AddMonitor - failed");
    g_errors += context.errorCount;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int runs = argc > 1 ? _wtoi(argv[1]) : 7;
    g_instance = GetModuleHandleW(NULL);
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    *wcsrchr(path, L'\\') = 0;
    g_components = std::wstring(path) + L"\\..\\standins\\default\\";
    SetupContext probe;
    InitSetupContext(&probe, SETUP_X64);
    g_systemDir = StringText(probe.systemDir);
    g_driverDir = StringText(probe.driverDir);
    FreeSetupContext(&probe);

    std::vector<double> rawMonitor, toolMonitor, rawDriver, toolDriver;
    for (int run = 0; run < runs; run++) {
        double t = NowMs();
        RawAddMonitor();
        rawMonitor.push_back(NowMs() - t);
        RemoveMonitor();

        SetupContext context;
        PrepareContext(&context);
        t = NowMs();
        InstallPortMonitor(&context);
        toolMonitor.push_back(NowMs() - t);
        Audit(context);
        FreeSetupContext(&context);

        t = NowMs();
        RawAddDriver();
        rawDriver.push_back(NowMs() - t);
        RemoveDriver();

        PrepareContext(&context);
        t = NowMs();
        InstallPrinterDriver(&context);
        toolDriver.push_back(NowMs() - t);
        Audit(context);
        FreeSetupContext(&context);
        if (run + 1 < runs) {
            RemoveDriver();
            RemoveMonitor();
        }
    }
    printf("InstallPortMonitor   %7.2f ms, raw calls %7.2f ms, ratio %.2f\n", Median(toolMonitor),
           Median(rawMonitor), Median(toolMonitor) / Median(rawMonitor));
    printf("InstallPrinterDriver %7.2f ms, raw calls %7.2f ms, ratio %.2f\n", Median(toolDriver),
           Median(rawDriver), Median(toolDriver) / Median(rawDriver));

    // Monitor and driver stay registered for the printers.
    for (int n : {1, 10, 50}) {
        std::vector<double> raw, tool;
        for (int run = 0; run < runs; run++) {
            double t = NowMs();
            for (int i = 0; i < n; i++)
                RawAddPrinter(PrinterName(i));
            raw.push_back(NowMs() - t);

            // The kept list as a reinstall leaves it: the printers deleted, their values kept.
            SetupContext context;
            PrepareContext(&context);
            MarkDefaultPrinter(&context);
            DeleteProductPrinters(&context);
            FreeString(&context.logText);
            t = NowMs();
            RestoreKeptPrinters(&context);
            tool.push_back(NowMs() - t);
            Audit(context);
            FreeSetupContext(&context);
            DeletePrinters(n);
        }
        printf("RestoreKeptPrinters N=%-2d %8.2f ms (%6.2f ms each), raw calls %8.2f ms, "
               "ratio %.2f\n",
               n, Median(tool), Median(tool) / n, Median(raw), Median(tool) / Median(raw));
    }
    RemoveDriver();
    RemoveMonitor();
    printf("spooler restarts %d, AddMonitor retries %d, error reports %d (all runs)\n", g_restarts,
           g_retries, g_errors);
    return 0;
}
