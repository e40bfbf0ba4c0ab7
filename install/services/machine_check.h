// What the machine itself allows: asked before an install or uninstall removes anything, so that
// a Windows that cannot take the product is refused with its reason and left as it was.
#pragma once

struct SetupContext;

// Whether what needs the spooler may be changed: not when CheckSpooler found its start type
// Disabled, which is reported (22).
bool SpoolerAllowsChanges(SetupContext *context);
// Whether Windows protected print mode is off. It admits no third-party printer driver, and
// turning it on removes them. Asked through the system's own query where it has one, and through
// the group policy's value; on when either says so, reported (23).
bool ProtectedPrintModeOff(SetupContext *context);
// Whether the machine's own processor is x64. An x64 process that runs emulated on another
// processor sees x64 in GetNativeSystemInfo; IsWow64Process2 tells the machine. Any other
// machine is reported with its architecture (24): its spooler loads no x64 monitor or driver.
bool NativeMachineIsX64(SetupContext *context);
