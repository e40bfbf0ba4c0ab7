// Functions of spooler_service that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

// Starts the service and polls until it runs: at most 50 sleeps of 200 ms, the start asked
// again at each poll that finds it stopped; false at once when a start is refused for good.
// Writes nothing.
bool StartSpoolerAndWait(SC_HANDLE service);
