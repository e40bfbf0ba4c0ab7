// A virtual clock for the tool's polling waits: Sleep advances time instead of waiting.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "import_hook.h"

class VirtualClock {
public:
    VirtualClock();
    ~VirtualClock();

    // Every Sleep the code under test made, in milliseconds, in order.
    const std::vector<DWORD> &sleeps() const
    {
        return sleeps_;
    }
    DWORD totalSlept() const;
    DWORD now() const
    {
        return now_;
    }
    void advance(DWORD ms)
    {
        now_ += ms;
    }
    void setNow(DWORD ms)
    {
        now_ = ms;
    }
    // Called after each virtual sleep; lets a test change the world as time passes.
    std::function<void(DWORD)> onSleep;

    static VirtualClock *current;

private:
    static void WINAPI FakeSleep(DWORD ms);
    static DWORD WINAPI FakeGetTickCount();

    DWORD now_ = 1000;
    std::vector<DWORD> sleeps_;
    ImportHook sleepHook_;
    ImportHook tickHook_;
};
