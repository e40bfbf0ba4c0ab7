// Shared by the services' tests: the real spooler's state, and a count of the global heap.
#pragma once

#include <windows.h>

#include "import_hook.h"

// The real service calls, reached past any hook the test has installed.
inline DWORD RealSpoolerState()
{
    auto openManager = reinterpret_cast<decltype(&OpenSCManagerW)>(
        SystemFunction("advapi32.dll", "OpenSCManagerW"));
    auto openService =
        reinterpret_cast<decltype(&OpenServiceW)>(SystemFunction("advapi32.dll", "OpenServiceW"));
    auto query = reinterpret_cast<decltype(&QueryServiceStatus)>(
        SystemFunction("advapi32.dll", "QueryServiceStatus"));
    auto close = reinterpret_cast<decltype(&CloseServiceHandle)>(
        SystemFunction("advapi32.dll", "CloseServiceHandle"));
    SC_HANDLE manager = openManager(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? openService(manager, L"spooler", SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status = {};
    if (!service || !query(service, &status))
        status.dwCurrentState = 0;
    if (service)
        close(service);
    if (manager)
        close(manager);
    return status.dwCurrentState;
}

// Sends a start or a stop to the real spooler and waits (really, at most about 2 s) until it
// reaches `wanted`. True when it got there.
inline bool DriveRealSpooler(DWORD wanted)
{
    auto openManager = reinterpret_cast<decltype(&OpenSCManagerW)>(
        SystemFunction("advapi32.dll", "OpenSCManagerW"));
    auto openService =
        reinterpret_cast<decltype(&OpenServiceW)>(SystemFunction("advapi32.dll", "OpenServiceW"));
    auto start =
        reinterpret_cast<decltype(&StartServiceW)>(SystemFunction("advapi32.dll", "StartServiceW"));
    auto control = reinterpret_cast<decltype(&ControlService)>(
        SystemFunction("advapi32.dll", "ControlService"));
    auto close = reinterpret_cast<decltype(&CloseServiceHandle)>(
        SystemFunction("advapi32.dll", "CloseServiceHandle"));
    auto sleep = reinterpret_cast<decltype(&Sleep)>(SystemFunction("kernel32.dll", "Sleep"));
    SC_HANDLE manager = openManager(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? openService(manager, L"spooler", SERVICE_START | SERVICE_STOP) : NULL;
    if (service && RealSpoolerState() != wanted) {
        SERVICE_STATUS status;
        if (wanted == SERVICE_RUNNING)
            start(service, 0, NULL);
        else
            control(service, SERVICE_CONTROL_STOP, &status);
    }
    if (service)
        close(service);
    if (manager)
        close(manager);
    for (int i = 0; i < 200 && RealSpoolerState() != wanted; i++)
        sleep(10);
    return RealSpoolerState() == wanted;
}

// Counts the global heap blocks taken and released while it lives, and can refuse the n-th
// allocation (counting from 1) to reach the out-of-memory paths.
class GlobalHeapCount
{
  public:
    explicit GlobalHeapCount(int failAt = 0) : failAt_(failAt)
    {
        current = this;
    }
    ~GlobalHeapCount()
    {
        current = nullptr;
    }
    int allocs = 0;
    int frees = 0;
    int refused = 0;
    static inline GlobalHeapCount *current = nullptr;

  private:
    static HGLOBAL WINAPI FakeAlloc(UINT flags, SIZE_T bytes)
    {
        auto real =
            reinterpret_cast<decltype(&GlobalAlloc)>(SystemFunction("kernel32.dll", "GlobalAlloc"));
        GlobalHeapCount *count = current;
        if (count && count->failAt_ && count->allocs + count->refused + 1 == count->failAt_) {
            count->refused++;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        HGLOBAL block = real(flags, bytes);
        if (count && block)
            count->allocs++;
        return block;
    }
    static HGLOBAL WINAPI FakeFree(HGLOBAL block)
    {
        auto real =
            reinterpret_cast<decltype(&GlobalFree)>(SystemFunction("kernel32.dll", "GlobalFree"));
        if (current && block)
            current->frees++;
        return real(block);
    }
    int failAt_;
    ImportHook allocHook_{"kernel32.dll", "GlobalAlloc",
                          reinterpret_cast<const void *>(&FakeAlloc)};
    ImportHook freeHook_{"kernel32.dll", "GlobalFree", reinterpret_cast<const void *>(&FakeFree)};
};
