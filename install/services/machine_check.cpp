// What the machine itself allows: the spooler's start type, protected print mode, the processor.
#include "services/machine_check.h"

#include <windows.h>
#include <inspectable.h>
#include <roapi.h>
#include <winstring.h>

#include "setup_log.h"
#include "setup_record.h"

// The group policy "Configure Windows protected print" (Printing.admx): 1 when enabled.
static const WCHAR PROTECTED_PRINT_POLICY_KEY[] =
    L"Software\\Policies\\Microsoft\\Windows NT\\Printers\\WPP";
static const WCHAR PROTECTED_PRINT_POLICY_VALUE[] = L"WindowsProtectedPrintGroupPolicyState";

// Windows.Graphics.Printing.ProtectedPrint.WindowsProtectedPrintInfo (Windows 11 24H2 and
// later): its statics interface, whose first own method tells whether the mode is on.
static const WCHAR PROTECTED_PRINT_CLASS[] =
    L"Windows.Graphics.Printing.ProtectedPrint.WindowsProtectedPrintInfo";
static const IID IID_PROTECTED_PRINT_STATICS = {
    0xa7d212f3, 0x4168, 0x5485, {0x98, 0xab, 0xd8, 0x9d, 0x04, 0x60, 0x3b, 0x40}};

struct ProtectedPrintInfoStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_IsProtectedPrintEnabled(boolean *enabled) = 0;
};

typedef HRESULT(WINAPI *RoInitializeFunction)(RO_INIT_TYPE);
typedef void(WINAPI *RoUninitializeFunction)();
typedef HRESULT(WINAPI *RoGetActivationFactoryFunction)(HSTRING, REFIID, void **);
typedef HRESULT(WINAPI *WindowsCreateStringReferenceFunction)(PCWSTR, UINT32, HSTRING_HEADER *,
                                                              HSTRING *);
typedef BOOL(WINAPI *IsWow64Process2Function)(HANDLE, USHORT *, USHORT *);

// An export of a loaded system DLL, or null: what the system lacks is looked up, never imported.
static void *Export(HMODULE module, const char *name)
{
    return module ? reinterpret_cast<void *>(GetProcAddress(module, name)) : NULL;
}

bool SpoolerAllowsChanges(SetupContext *context)
{
    if (!context->spoolerDisabled)
        return true;
    SetLastError(ERROR_SERVICE_DISABLED);
    LogError(context, ERR_SPOOLER_DISABLED,
             L"The Print Spooler service is disabled: nothing was changed");
    return false;
}

// Asks the system's own query, where it has one; -1 when it has none or does not answer, else
// whether the mode is on. The query is a Windows Runtime class, reached through combase.dll
// looked up at run time, so that the tool also starts where neither exists.
static int QueryProtectedPrintMode()
{
    // Kept loaded: the runtime may keep its own state in it for the process's life.
    HMODULE combase = LoadLibraryExW(L"combase.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    RoInitializeFunction roInitialize =
        reinterpret_cast<RoInitializeFunction>(Export(combase, "RoInitialize"));
    RoUninitializeFunction roUninitialize =
        reinterpret_cast<RoUninitializeFunction>(Export(combase, "RoUninitialize"));
    RoGetActivationFactoryFunction getFactory =
        reinterpret_cast<RoGetActivationFactoryFunction>(Export(combase, "RoGetActivationFactory"));
    WindowsCreateStringReferenceFunction createReference =
        reinterpret_cast<WindowsCreateStringReferenceFunction>(
            Export(combase, "WindowsCreateStringReference"));
    if (!roInitialize || !roUninitialize || !getFactory || !createReference)
        return -1;

    // A thread already in a single-threaded apartment (RPC_E_CHANGED_MODE) serves as well, and
    // is not this function's to leave.
    HRESULT initialized = roInitialize(RO_INIT_MULTITHREADED);
    if (FAILED(initialized) && initialized != RPC_E_CHANGED_MODE)
        return -1;
    int on = -1;
    HSTRING_HEADER header;
    HSTRING name = NULL;
    ProtectedPrintInfoStatics *statics = NULL;
    if (SUCCEEDED(createReference(PROTECTED_PRINT_CLASS, ARRAYSIZE(PROTECTED_PRINT_CLASS) - 1,
                                  &header, &name)) &&
        SUCCEEDED(
            getFactory(name, IID_PROTECTED_PRINT_STATICS, reinterpret_cast<void **>(&statics))) &&
        statics) {
        boolean enabled = 0;
        if (SUCCEEDED(statics->get_IsProtectedPrintEnabled(&enabled)))
            on = enabled ? 1 : 0;
        statics->Release();
    }
    if (SUCCEEDED(initialized))
        roUninitialize();
    return on;
}

// Whether the group policy turns the mode on: its value is a nonzero DWORD.
static bool ProtectedPrintPolicyOn()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, PROTECTED_PRINT_POLICY_KEY,
                        PROTECTED_PRINT_POLICY_VALUE, RRF_RT_REG_DWORD, NULL, &value,
                        &size) == ERROR_SUCCESS &&
           value != 0;
}

bool ProtectedPrintModeOff(SetupContext *context)
{
    // A policy set but not yet in force turns the mode on at the next boot, which removes the
    // driver: it refuses the install as well.
    if (QueryProtectedPrintMode() != 1 && !ProtectedPrintPolicyOn())
        return true;
    SetLastError(0);
    LogError(context, ERR_PROTECTED_PRINT,
             L"Windows protected print mode is on: it admits no third-party printer driver");
    return false;
}

// The machine's own processor, as an IMAGE_FILE_MACHINE_* value. Without IsWow64Process2 the
// system is older than any that emulates x64 (Windows 11 on ARM64 has it), so the machine is
// what the process is; a machine it does not name (Wine answers 0) is taken for the same.
static USHORT NativeMachine()
{
    IsWow64Process2Function isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
        Export(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2"));
    USHORT process = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT native = IMAGE_FILE_MACHINE_UNKNOWN;
    if (!isWow64Process2 || !isWow64Process2(GetCurrentProcess(), &process, &native) ||
        native == IMAGE_FILE_MACHINE_UNKNOWN)
        return IMAGE_FILE_MACHINE_AMD64;
    return native;
}

bool NativeMachineIsX64(SetupContext *context)
{
    USHORT machine = NativeMachine();
    if (machine == IMAGE_FILE_MACHINE_AMD64)
        return true;
    SetLastError(0);
    if (machine == IMAGE_FILE_MACHINE_ARM64)
        LogError(context, ERR_FOREIGN_MACHINE,
                 L"This machine's processor is 64-bit ARM (ARM64), not x64: its spooler cannot "
                 L"load the product's x64 port monitor and printer driver");
    else
        LogError(context, ERR_FOREIGN_MACHINE,
                 L"This machine's processor is of type 0x%04X, not x64: its spooler cannot load "
                 L"the product's x64 port monitor and printer driver",
                 (unsigned)machine);
    return false;
}
