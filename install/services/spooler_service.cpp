// Control of the "spooler" service.
#include "spooler_service.h"
#include "spooler_service_internal.h"

#include "setup_log.h"
#include "setup_record.h"

// The spooler needs well under a second to stop or start; 50 polls 200 ms apart (10 s) leave
// room for a loaded machine without letting a hung service hold the setup for long.
static const int SPOOLER_POLLS = 50;
static const DWORD SPOOLER_POLL_MS = 200;

static const DWORD CHECK_MANAGER_ACCESS = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
static const DWORD CHECK_SERVICE_ACCESS =
    SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG;
static const DWORD RESTART_MANAGER_ACCESS = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
static const DWORD RESTART_SERVICE_ACCESS = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;

// The service's start type, from its configuration (at most 8 KiB, the documented bound); false
// when it cannot be read.
static bool ReadStartType(SC_HANDLE service, DWORD *startType)
{
    const DWORD CONFIG_BYTES = 8 * 1024;
    QUERY_SERVICE_CONFIGW *config =
        static_cast<QUERY_SERVICE_CONFIGW *>(HeapAlloc(GetProcessHeap(), 0, CONFIG_BYTES));
    DWORD needed = 0;
    bool read = config && QueryServiceConfigW(service, config, CONFIG_BYTES, &needed);
    if (read)
        *startType = config->dwStartType;
    HeapFree(GetProcessHeap(), 0, config);
    return read;
}

bool CheckSpooler(SetupContext *context)
{
    LogLine(context, L">Check Spooler");
    LogSection section(context);
    bool ok = false;
    SC_HANDLE manager = NULL;
    SC_HANDLE service = NULL;
    SERVICE_STATUS status;
    DWORD startType = 0;

    manager = OpenSCManagerW(NULL, NULL, CHECK_MANAGER_ACCESS);
    if (!manager) {
        LogError(context, ERR_OPEN_SCM, L"Can't open service manager.");
        return false;
    }
    service = OpenServiceW(manager, L"spooler", CHECK_SERVICE_ACCESS);
    if (!service) {
        LogError(context, ERR_OPEN_SPOOLER, L"Can't open the spooler");
        goto done;
    }
    // Disabled is an administrator's choice: the spooler is not started against it, and the
    // sequences refuse to change what needs it. A start type that cannot be read is no refusal.
    if (ReadStartType(service, &startType) && startType == SERVICE_DISABLED) {
        context->spoolerDisabled = 1;
        LogLine(context, L"Its start type is Disabled: it is not started");
        goto done;
    }
    // A status that cannot be read starts nothing: the spooler calls may well work all the same.
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING) {
        bool stopped = status.dwCurrentState == SERVICE_STOPPED ||
                       status.dwCurrentState == SERVICE_STOP_PENDING;
        if (!StartSpoolerAndWait(service)) {
            LogError(context, ERR_START_SPOOLER, L"Can't start the spooler");
            goto done;
        }
        // What the command found is what it leaves, unless the product needs it running.
        if (stopped) {
            context->spoolerWasStopped = 1;
            LogLine(context, L"It was stopped: started for this run");
        }
    }
    ok = true;

done:
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

// Asks the service to start; false only when it refused for a reason that waiting cannot end
// (disabled, no rights, marked for deletion, its program missing, ...).
static bool RequestStart(SC_HANDLE service)
{
    if (StartServiceW(service, 0, NULL))
        return true;
    switch (GetLastError()) {
    case ERROR_SERVICE_ALREADY_RUNNING:    // the polls see it running
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: // a stop still finishing: asked again once stopped
    case ERROR_SERVICE_DATABASE_LOCKED:
    case ERROR_SERVICE_REQUEST_TIMEOUT: // its process may still come up
        return true;
    default:
        return false;
    }
}

bool StartSpoolerAndWait(SC_HANDLE service)
{
    SERVICE_STATUS status;

    if (!RequestStart(service))
        return false;
    ZeroMemory(&status, sizeof(status));
    QueryServiceStatus(service, &status);
    for (int poll = 0; poll < SPOOLER_POLLS && status.dwCurrentState != SERVICE_RUNNING; poll++) {
        // Found stopped after the request was made: it was refused (or the service stopped
        // again), so it is asked once more; a stopped spooler is never simply waited for.
        if (poll > 0 && status.dwCurrentState == SERVICE_STOPPED && !RequestStart(service))
            return false;
        Sleep(SPOOLER_POLL_MS);
        QueryServiceStatus(service, &status);
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

// Opens the manager and the service into the restart; false, reported, when either is refused.
static bool OpenRestartHandles(SpoolerRestart *restart)
{
    restart->scManager = OpenSCManagerW(NULL, NULL, RESTART_MANAGER_ACCESS);
    if (!restart->scManager) {
        if (restart->context)
            LogError(restart->context, ERR_OPEN_SCM, L"Can't open service manager.");
        return false;
    }
    restart->service = OpenServiceW(restart->scManager, L"spooler", RESTART_SERVICE_ACCESS);
    if (!restart->service) {
        if (restart->context)
            LogError(restart->context, ERR_OPEN_SPOOLER, L"Can't open the spooler");
        return false;
    }
    return true;
}

// Asks the service to stop; false when waiting for the stop would be in vain. A restart is owed
// only for a stop that happened or may still happen: a spooler that was not running stays so.
static bool RequestStop(SpoolerRestart *restart)
{
    SERVICE_STATUS status;
    if (ControlService(restart->service, SERVICE_CONTROL_STOP, &status)) {
        restart->stopRequested = 1;
        return true;
    }
    DWORD error = GetLastError();
    // Already where the caller wants it, and where it was found.
    if (error == ERROR_SERVICE_NOT_ACTIVE)
        return true;
    if (restart->context)
        LogError(restart->context, ERR_CONTROL_SERVICE,
                 L"ControlService failed with code %d (0x%x)", (int)error, (unsigned)error);
    // The services that depend on it keep it running however long one waits.
    if (error == ERROR_DEPENDENT_SERVICES_RUNNING)
        return false;
    // A refusal while it starts or stops: it may yet stop, and is started again then.
    restart->stopRequested = 1;
    return true;
}

// Polls until the service has stopped: at most 50 sleeps of 200 ms.
static bool WaitUntilStopped(SC_HANDLE service)
{
    SERVICE_STATUS status;
    ZeroMemory(&status, sizeof(status));
    QueryServiceStatus(service, &status);
    for (int poll = 0; poll < SPOOLER_POLLS && status.dwCurrentState != SERVICE_STOPPED; poll++) {
        Sleep(SPOOLER_POLL_MS);
        QueryServiceStatus(service, &status);
    }
    return status.dwCurrentState == SERVICE_STOPPED;
}

SpoolerRestart BeginSpoolerRestart(SetupContext *context)
{
    SpoolerRestart restart = {context, NULL, NULL, 0};

    if (context)
        LogLine(context, L">Restart Spooler");
    if (OpenRestartHandles(&restart) && RequestStop(&restart) &&
        !WaitUntilStopped(restart.service) && context)
        LogError(context, ERR_STOP_SPOOLER, L"Can't stop the spooler");
    return restart;
}

bool EndSpoolerRestart(SpoolerRestart *restart)
{
    bool runs = true;
    if (restart->service) {
        if (restart->stopRequested && !StartSpoolerAndWait(restart->service)) {
            runs = false;
            if (restart->context)
                LogError(restart->context, ERR_START_SPOOLER, L"Can't start the spooler");
        }
        CloseServiceHandle(restart->service);
    }
    // A manager that could not be opened is null here; the call then simply fails.
    CloseServiceHandle(restart->scManager);
    restart->service = NULL;
    restart->scManager = NULL;
    return runs;
}

void StopSpoolerAsFound(SetupContext *context)
{
    if (!context->spoolerWasStopped)
        return;
    LogLine(context, L">Stop Spooler");
    LogSection section(context);
    // Without a context in the record its refusals are not reports: a spooler left running
    // costs nothing, while a report would fail a command that did all its work.
    SpoolerRestart stop = {NULL, NULL, NULL, 0};
    bool stopped =
        OpenRestartHandles(&stop) && RequestStop(&stop) && WaitUntilStopped(stop.service);
    if (stopped)
        LogLine(context, L"Stopped again, as this run found it");
    else
        LogLine(context, L"It could not be stopped again: it stays running");
    // Nothing is to be undone: only the handles are closed.
    stop.stopRequested = 0;
    EndSpoolerRestart(&stop);
    context->spoolerWasStopped = 0;
}
