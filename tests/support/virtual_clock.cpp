// The virtual clock's Sleep and GetTickCount, and the sleeps it adds up for scripts/bench.
#include "virtual_clock.h"

#include <stdio.h>
#include <stdlib.h>

VirtualClock *VirtualClock::current;

VirtualClock::VirtualClock()
    : sleepHook_("kernel32.dll", "Sleep", reinterpret_cast<const void *>(&FakeSleep)),
      tickHook_("kernel32.dll", "GetTickCount", reinterpret_cast<const void *>(&FakeGetTickCount),
                false)
{
    current = this;
}

VirtualClock::~VirtualClock()
{
    current = nullptr;
    // scripts/bench adds these up to compare the time the suite skipped with its wall time.
    if (const char *log = getenv("SETUP_VIRTUAL_SLEEP_LOG")) {
        if (FILE *file = fopen(log, "a")) {
            fprintf(file, "%lu\n", (unsigned long)totalSlept());
            fclose(file);
        }
    }
}

DWORD VirtualClock::totalSlept() const
{
    DWORD total = 0;
    for (DWORD ms : sleeps_)
        total += ms;
    return total;
}

void WINAPI VirtualClock::FakeSleep(DWORD ms)
{
    VirtualClock *clock = current;
    clock->sleeps_.push_back(ms);
    clock->now_ += ms;
    if (clock->onSleep)
        clock->onSleep(ms);
}

DWORD WINAPI VirtualClock::FakeGetTickCount()
{
    return current->now_;
}
