// Shared by the services' tests: the real spooler's state, and a count of the global heap.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "import_hook.h"

// The real spooler's state, or 0 when it cannot be read.
inline DWORD RealSpoolerState()
{
    auto close = SYSTEM_FUNCTION("advapi32.dll", CloseServiceHandle);
    SC_HANDLE manager =
        SYSTEM_FUNCTION("advapi32.dll", OpenSCManagerW)(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? SYSTEM_FUNCTION("advapi32.dll", OpenServiceW)(
                                      manager, L"spooler", SERVICE_QUERY_STATUS)
                                : NULL;
    SERVICE_STATUS status = {};
    if (!service || !SYSTEM_FUNCTION("advapi32.dll", QueryServiceStatus)(service, &status))
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
    auto close = SYSTEM_FUNCTION("advapi32.dll", CloseServiceHandle);
    SC_HANDLE manager =
        SYSTEM_FUNCTION("advapi32.dll", OpenSCManagerW)(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? SYSTEM_FUNCTION("advapi32.dll", OpenServiceW)(
                                      manager, L"spooler", SERVICE_START | SERVICE_STOP)
                                : NULL;
    if (service && RealSpoolerState() != wanted) {
        SERVICE_STATUS status;
        if (wanted == SERVICE_RUNNING)
            SYSTEM_FUNCTION("advapi32.dll", StartServiceW)(service, 0, NULL);
        else
            SYSTEM_FUNCTION("advapi32.dll", ControlService)(service, SERVICE_CONTROL_STOP, &status);
    }
    if (service)
        close(service);
    if (manager)
        close(manager);
    for (int i = 0; i < 200 && RealSpoolerState() != wanted; i++)
        SYSTEM_FUNCTION("kernel32.dll", Sleep)(10);
    return RealSpoolerState() == wanted;
}

// The spooler's configuration as QueryServiceConfigW gives it, with the start type
// `configuredStartType`; 0: the configuration cannot be read.
inline DWORD configuredStartType = SERVICE_DISABLED;
inline BOOL WINAPI ConfiguredQueryServiceConfigW(SC_HANDLE, LPQUERY_SERVICE_CONFIGW config,
                                                 DWORD size, LPDWORD needed)
{
    *needed = sizeof(*config);
    if (!configuredStartType) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!config || size < sizeof(*config)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(config, 0, sizeof(*config));
    config->dwStartType = configuredStartType;
    return TRUE;
}

// Counts the global heap blocks taken and released while it lives, and can refuse the n-th
// allocation (counting from 1) to reach the out-of-memory paths.
class GlobalHeapCount {
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
        auto real = SYSTEM_FUNCTION("kernel32.dll", GlobalAlloc);
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
        auto real = SYSTEM_FUNCTION("kernel32.dll", GlobalFree);
        if (current && block)
            current->frees++;
        return real(block);
    }
    int failAt_;
    ImportHook allocHook_{"kernel32.dll", "GlobalAlloc",
                          reinterpret_cast<const void *>(&FakeAlloc)};
    ImportHook freeHook_{"kernel32.dll", "GlobalFree", reinterpret_cast<const void *>(&FakeFree)};
};

// "PendingFileRenameOperations" of the test prefix, saved before a test and put back after it.
class SavedPendingRenames {
public:
    SavedPendingRenames()
    {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ | KEY_SET_VALUE, &key_);
        DWORD size = 0;
        present_ = RegQueryValueExW(key_, kValue, NULL, &type_, NULL, &size) == ERROR_SUCCESS;
        data_.resize(size);
        if (present_ && size)
            RegQueryValueExW(key_, kValue, NULL, &type_, data_.data(), &size);
    }
    ~SavedPendingRenames()
    {
        if (present_)
            RegSetValueExW(key_, kValue, 0, type_, data_.data(), (DWORD)data_.size());
        else
            RegDeleteValueW(key_, kValue);
        RegCloseKey(key_);
    }
    // Replaces the value for the test; type and bytes as given.
    void Set(DWORD type, const void *data, DWORD size)
    {
        RegSetValueExW(key_, kValue, 0, type, static_cast<const BYTE *>(data), size);
    }
    void Remove()
    {
        RegDeleteValueW(key_, kValue);
    }
    std::wstring Current() const
    {
        DWORD size = 0;
        RegQueryValueExW(key_, kValue, NULL, NULL, NULL, &size);
        std::wstring text(size / 2, 0);
        if (size)
            RegQueryValueExW(key_, kValue, NULL, NULL, reinterpret_cast<BYTE *>(&text[0]), &size);
        return text;
    }

private:
    static constexpr const WCHAR *kValue = L"PendingFileRenameOperations";
    HKEY key_ = NULL;
    bool present_ = false;
    DWORD type_ = REG_MULTI_SZ;
    std::vector<BYTE> data_;
};
