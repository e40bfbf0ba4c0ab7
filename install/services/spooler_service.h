// Control of the "spooler" service: make sure it runs, stop it and start it again.
#pragma once

#include <windows.h>

struct SetupContext;

// One stop of the spooler that EndSpoolerRestart must undo. Lives in the caller's frame.
struct SpoolerRestart {
    SetupContext *context; // where its lines and reports go; none: a silent restart
    SC_HANDLE scManager;
    SC_HANDLE service;
    BYTE stopRequested; // a stop was made (or may still happen) that EndSpoolerRestart undoes
};

// Makes sure the spooler runs (">Check Spooler"), unless its start type is Disabled: then it
// sets `spoolerDisabled` and starts nothing. Sets `spoolerWasStopped` when it started a stopped
// spooler. False on a failure it reported, and for a disabled spooler.
bool CheckSpooler(SetupContext *context);
// Stops the spooler and waits for SERVICE_STOPPED (not when dependent services refuse the
// stop); `context` may be null. The record holds what EndSpoolerRestart must undo and release,
// whether or not the stop succeeded; a spooler that was not running owes no start.
SpoolerRestart BeginSpoolerRestart(SetupContext *context);
// Starts the spooler again when a stop was requested, then closes both handles. False when a
// stop was requested and the spooler could not be started again (reported when the restart has
// a context); true otherwise.
bool EndSpoolerRestart(SpoolerRestart *restart);
// Stops the spooler again when CheckSpooler found it stopped and started it (">Stop Spooler"),
// so that a command that leaves nothing that needs it leaves it as it was; a stop that fails is
// logged, not reported. Clears `spoolerWasStopped`.
void StopSpoolerAsFound(SetupContext *context);
