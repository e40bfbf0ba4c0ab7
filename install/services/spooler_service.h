// Control of the "spooler" service: make sure it runs, stop it and start it again.
#pragma once

#include <windows.h>

struct SetupContext;

// One stop of the spooler that EndSpoolerRestart must undo. Lives in the caller's frame.
struct SpoolerRestart {
    SetupContext *context; // where its lines and reports go; none: a silent restart
    SC_HANDLE scManager;
    SC_HANDLE service;
    BYTE stopRequested;
};

// Makes sure the spooler runs (">Check Spooler"). False on a failure it reported.
bool CheckSpooler(SetupContext *context);
// Starts the service and polls until it runs: at most 50 sleeps of 200 ms, the start asked
// again at each poll that finds it stopped; false at once when a start is refused for good.
// Writes nothing.
bool StartSpoolerAndWait(SC_HANDLE service);
// Stops the spooler and waits for SERVICE_STOPPED (not when dependent services refuse the
// stop); `context` may be null.
SpoolerRestart BeginSpoolerRestart(SetupContext *context);
// Starts the spooler again when a stop was requested, then closes both handles.
void EndSpoolerRestart(SpoolerRestart *restart);
