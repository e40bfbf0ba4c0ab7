// Times stops and starts of the real spooler service: the tool's own restart, with its 200 ms
// polls, and the bare service calls polled every millisecond.
#include <windows.h>

#include <stdio.h>

#include "services/spooler_service.h"

static double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(to.QuadPart - from.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

static bool WaitForState(SC_HANDLE service, DWORD state)
{
    SERVICE_STATUS status = {};
    for (int i = 0; i < 5000; i++) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state)
            return true;
        Sleep(1);
    }
    return false;
}

int wmain()
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"spooler",
                                               SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                                : NULL;
    if (!service) {
        printf("spooler service cannot be opened: %lu\n", GetLastError());
        return 1;
    }
    StartServiceW(service, 0, NULL);
    WaitForState(service, SERVICE_RUNNING);

    const int rounds = 5;
    double stop = 0, start = 0, tool = 0;
    for (int i = 0; i < rounds; i++) {
        SERVICE_STATUS status;
        LARGE_INTEGER t0, t1, t2;
        QueryPerformanceCounter(&t0);
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        bool stopped = WaitForState(service, SERVICE_STOPPED);
        QueryPerformanceCounter(&t1);
        StartServiceW(service, 0, NULL);
        bool started = WaitForState(service, SERVICE_RUNNING);
        QueryPerformanceCounter(&t2);
        if (!stopped || !started) {
            printf("spooler did not %s\n", stopped ? "start" : "stop");
            return 1;
        }
        stop += Milliseconds(t0, t1);
        start += Milliseconds(t1, t2);

        QueryPerformanceCounter(&t0);
        SpoolerRestart restart = BeginSpoolerRestart(NULL);
        EndSpoolerRestart(&restart);
        QueryPerformanceCounter(&t1);
        tool += Milliseconds(t0, t1);
    }
    printf("spooler stop: %.1f ms, start: %.1f ms (mean of %d, 1 ms polls)\n", stop / rounds,
           start / rounds, rounds);
    printf("BeginSpoolerRestart + EndSpoolerRestart: %.1f ms (mean of %d, 200 ms polls)\n",
           tool / rounds, rounds);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
