// The spooler service's check and restart, on Wine's real service and against injected states.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "service_test_support.h"
#include "setup_context.h"
#include "setup_log.h"
#include "services/spooler_service.h"
#include "services/spooler_service_internal.h"
#include "virtual_clock.h"

namespace {

std::wstring Log(const SetupContext &context)
{
    return StringText(context.logText);
}

// Every test starts and ends with the real spooler running, whatever it did in between.
class SpoolerService : public ::testing::Test {
protected:
    SetupContext context = {};
    VirtualClock clock;

    void SetUp() override
    {
        ASSERT_TRUE(DriveRealSpooler(SERVICE_RUNNING)) << "the test prefix's spooler does not run";
        // The real service needs real time to move; each virtual 200 ms lets it have a little.
        clock.onSleep = [](DWORD) { SYSTEM_FUNCTION("kernel32.dll", Sleep)(5); };
    }
    void TearDown() override
    {
        FreeString(&context.logText);
        EXPECT_TRUE(DriveRealSpooler(SERVICE_RUNNING));
    }
    // Each sleep so far was one poll interval.
    void ExpectPollSleeps(size_t count)
    {
        EXPECT_EQ(count, clock.sleeps().size());
        for (DWORD ms : clock.sleeps())
            EXPECT_EQ(200u, ms);
    }
};

TEST_F(SpoolerService, CheckOfARunningSpoolerStartsNothing)
{
    EXPECT_TRUE(CheckSpooler(&context));
    EXPECT_EQ(L">Check Spooler\r\n", Log(context));
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_EQ(0, context.spoolerWasStopped);
    ExpectPollSleeps(0);
    // Found running: nothing to stop again.
    StopSpoolerAsFound(&context);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), RealSpoolerState());
    EXPECT_EQ(L">Check Spooler\r\n", Log(context));
}

TEST_F(SpoolerService, CheckStartsAStoppedSpooler)
{
    ASSERT_TRUE(DriveRealSpooler(SERVICE_STOPPED));
    EXPECT_TRUE(CheckSpooler(&context));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), RealSpoolerState());
    EXPECT_EQ(L">Check Spooler\r\n  It was stopped: started for this run\r\n", Log(context));
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_EQ(1, context.spoolerWasStopped);
    EXPECT_LE(clock.sleeps().size(), 50u);

    // A command that leaves nothing that needs it stops it again, once.
    FreeString(&context.logText);
    StopSpoolerAsFound(&context);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), RealSpoolerState());
    EXPECT_EQ(L">Stop Spooler\r\n  Stopped again, as this run found it\r\n", Log(context));
    EXPECT_EQ(0, context.spoolerWasStopped);
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
}

TEST_F(SpoolerService, RestartStopsTheRealSpoolerAndStartsItAgain)
{
    context.logDepth = 3;
    SpoolerRestart restart = BeginSpoolerRestart(&context);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), RealSpoolerState());
    EXPECT_EQ(&context, restart.context);
    EXPECT_NE(nullptr, restart.scManager);
    EXPECT_NE(nullptr, restart.service);
    EXPECT_EQ(1, restart.stopRequested);
    size_t stopPolls = clock.sleeps().size();
    EXPECT_LT(stopPolls, 50u);

    EXPECT_TRUE(EndSpoolerRestart(&restart));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), RealSpoolerState());
    // The heading is written at the caller's depth, which stays as it was.
    EXPECT_EQ(L"      >Restart Spooler\r\n", Log(context));
    EXPECT_EQ(3, context.logDepth);
    EXPECT_EQ(0, context.errorCount);
    ExpectPollSleeps(clock.sleeps().size());
}

TEST_F(SpoolerService, RestartOfAStoppedSpoolerIsNoErrorAndLeavesItStopped)
{
    ASSERT_TRUE(DriveRealSpooler(SERVICE_STOPPED));
    SpoolerRestart restart = BeginSpoolerRestart(&context);
    // Wine answers the stop of a stopped service with ERROR_SERVICE_NOT_ACTIVE, as Windows does:
    // no stop happened, so no start is owed.
    EXPECT_EQ(0, restart.stopRequested);
    ExpectPollSleeps(0);
    EXPECT_TRUE(EndSpoolerRestart(&restart));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), RealSpoolerState());
    EXPECT_EQ(L">Restart Spooler\r\n", Log(context));
    EXPECT_EQ(0, context.errorCount);
}

TEST_F(SpoolerService, RestartWithoutContextWorksSilently)
{
    SpoolerRestart restart = BeginSpoolerRestart(nullptr);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), RealSpoolerState());
    EXPECT_EQ(nullptr, restart.context);
    EndSpoolerRestart(&restart);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), RealSpoolerState());
}

// --- What Wine's service manager cannot be made to do: injected at the import table. ---

std::vector<DWORD> managerAccess, serviceAccess;
int queries, starts, controls;
std::vector<SC_HANDLE> closed;
DWORD reportedState;

SC_HANDLE WINAPI RecordingOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    managerAccess.push_back(access);
    return SYSTEM_FUNCTION("advapi32.dll", OpenSCManagerW)(machine, database, access);
}

SC_HANDLE WINAPI RecordingOpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    serviceAccess.push_back(access);
    return SYSTEM_FUNCTION("advapi32.dll", OpenServiceW)(manager, name, access);
}

SC_HANDLE WINAPI RefusingOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

SC_HANDLE WINAPI RefusingOpenServiceW(SC_HANDLE, LPCWSTR, DWORD)
{
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return NULL;
}

BOOL WINAPI RecordingCloseServiceHandle(SC_HANDLE handle)
{
    closed.push_back(handle);
    return SYSTEM_FUNCTION("advapi32.dll", CloseServiceHandle)(handle);
}

// A service frozen in one state: every query reports `reportedState`.
BOOL WINAPI FrozenQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS status)
{
    queries++;
    memset(status, 0, sizeof(*status));
    status->dwCurrentState = reportedState;
    return TRUE;
}

BOOL WINAPI FailingQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS)
{
    queries++;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Reports a stopped service for three queries, then a running one.
BOOL WINAPI LateStartQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS status)
{
    queries++;
    memset(status, 0, sizeof(*status));
    status->dwCurrentState = queries > 3 ? SERVICE_RUNNING : SERVICE_STOPPED;
    return TRUE;
}

BOOL WINAPI IgnoredStartServiceW(SC_HANDLE, DWORD, LPCWSTR *)
{
    starts++;
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return FALSE;
}

BOOL WINAPI IgnoredControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS)
{
    controls++;
    return TRUE;
}

BOOL WINAPI RefusedControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS)
{
    controls++;
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return FALSE;
}

class InjectedSpooler : public SpoolerService {
protected:
    void SetUp() override
    {
        SpoolerService::SetUp();
        managerAccess.clear();
        serviceAccess.clear();
        closed.clear();
        queries = starts = controls = 0;
        clock.onSleep = nullptr;
    }
};

TEST_F(InjectedSpooler, OpensWithExactlyTheRightsEachOperationNeeds)
{
    ImportHook manager("advapi32.dll", "OpenSCManagerW",
                       reinterpret_cast<const void *>(&RecordingOpenSCManagerW));
    ImportHook service("advapi32.dll", "OpenServiceW",
                       reinterpret_cast<const void *>(&RecordingOpenServiceW));
    ImportHook control("advapi32.dll", "ControlService",
                       reinterpret_cast<const void *>(&IgnoredControlService));
    reportedState = SERVICE_STOPPED;
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&FrozenQueryServiceStatus));

    CheckSpooler(&context);
    SpoolerRestart restart = BeginSpoolerRestart(&context);
    reportedState = SERVICE_RUNNING;
    EndSpoolerRestart(&restart);

    EXPECT_EQ((std::vector<DWORD>{0x000F0001, 0x000F0001}), managerAccess);
    EXPECT_EQ((std::vector<DWORD>{0x15, 0x34}), serviceAccess);
}

TEST_F(InjectedSpooler, ASpoolerThatNeverStartsIsGivenUpAfter50PollsOf200Ms)
{
    reportedState = SERVICE_STOPPED;
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&FrozenQueryServiceStatus));
    ImportHook start("advapi32.dll", "StartServiceW",
                     reinterpret_cast<const void *>(&IgnoredStartServiceW));
    ImportHook close("advapi32.dll", "CloseServiceHandle",
                     reinterpret_cast<const void *>(&RecordingCloseServiceHandle));

    EXPECT_FALSE(CheckSpooler(&context));
    ExpectPollSleeps(50);
    EXPECT_EQ(1 + 51, queries);   // the check's own query, then the first and one after each sleep
    EXPECT_EQ(50, starts);        // the first, then at every poll after it that finds it stopped
    EXPECT_EQ(2u, closed.size()); // the service, then the manager
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    std::wstring log = Log(context);
    EXPECT_EQ(0u, log.find(L">Check Spooler\r\n  Error(4): Can't start the spooler - ("));

    // The bare wait writes nothing; its caller reports.
    FreeString(&context.logText);
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"spooler", SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, service);
    queries = 0;
    EXPECT_FALSE(StartSpoolerAndWait(service));
    EXPECT_EQ(51, queries);
    ExpectPollSleeps(100);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    // The end of a restart reports the same; a restart without a context has no log to write.
    FreeString(&context.logText);
    context.errorCount = 0;
    {
        ImportHook control("advapi32.dll", "ControlService",
                           reinterpret_cast<const void *>(&IgnoredControlService));
        SpoolerRestart restart = BeginSpoolerRestart(&context);
        EXPECT_FALSE(EndSpoolerRestart(&restart));
        restart = BeginSpoolerRestart(nullptr);
        EXPECT_FALSE(EndSpoolerRestart(&restart));
    }
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0u, Log(context).find(L">Restart Spooler\r\nError(4): Can't start the spooler - ("));
}

TEST_F(InjectedSpooler, ASpoolerThatStartsLateIsSeenAtTheNextPoll)
{
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&LateStartQueryServiceStatus));
    ImportHook start("advapi32.dll", "StartServiceW",
                     reinterpret_cast<const void *>(&IgnoredStartServiceW));
    EXPECT_TRUE(CheckSpooler(&context));
    ExpectPollSleeps(2); // queries 1 (check), 2 and 3 report stopped; the 4th sees it run
    EXPECT_EQ(0, context.errorCount);
}

TEST_F(InjectedSpooler, AStatusThatCannotBeReadStartsNothing)
{
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&FailingQueryServiceStatus));
    ImportHook start("advapi32.dll", "StartServiceW",
                     reinterpret_cast<const void *>(&IgnoredStartServiceW));
    EXPECT_TRUE(CheckSpooler(&context));
    EXPECT_EQ(0, starts);
    EXPECT_EQ(L">Check Spooler\r\n", Log(context));
    ExpectPollSleeps(0);
}

TEST_F(InjectedSpooler, ASpoolerThatNeverStopsIsReportedAndTheRestartStillFinishes)
{
    ImportHook control("advapi32.dll", "ControlService",
                       reinterpret_cast<const void *>(&IgnoredControlService));
    reportedState = SERVICE_RUNNING;
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&FrozenQueryServiceStatus));

    SpoolerRestart restart = BeginSpoolerRestart(&context);
    ExpectPollSleeps(50);
    EXPECT_EQ(51, queries);
    EXPECT_EQ(1, restart.stopRequested);
    EXPECT_NE(nullptr, restart.service);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0u, Log(context).find(L">Restart Spooler\r\nError(3): Can't stop the spooler"));

    // Still running: the start is refused and the first poll sees it run; no further report.
    EXPECT_TRUE(EndSpoolerRestart(&restart));
    ExpectPollSleeps(50);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(nullptr, restart.service);

    // Without a context the time-out has no log to go to: the restart ends quietly.
    restart = BeginSpoolerRestart(nullptr);
    EndSpoolerRestart(&restart);
    ExpectPollSleeps(100);
    EXPECT_EQ(1, context.errorCount);

    // Stopping it again as it was found waits as long and starts nothing; a spooler left running
    // is logged, not an error of a command that did its work.
    FreeString(&context.logText);
    context.spoolerWasStopped = 1;
    StopSpoolerAsFound(&context);
    ExpectPollSleeps(150);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
    EXPECT_EQ(0, context.spoolerWasStopped);
    EXPECT_EQ(L">Stop Spooler\r\n  It could not be stopped again: it stays running\r\n",
              Log(context));
}

TEST_F(InjectedSpooler, AFailedStopControlIsReportedWithItsCodeAndTheWaitStillRuns)
{
    ImportHook control("advapi32.dll", "ControlService",
                       reinterpret_cast<const void *>(&RefusedControlService));
    SpoolerRestart restart = BeginSpoolerRestart(&context);
    EXPECT_EQ(1, restart.stopRequested);
    ExpectPollSleeps(50);
    EXPECT_EQ(2, context.errorCount);
    std::wstring log = Log(context);
    EXPECT_NE(std::wstring::npos,
              log.find(L"Error(5): ControlService failed with code 1061 (0x425)"));
    EXPECT_NE(std::wstring::npos, log.find(L"Error(3): Can't stop the spooler"));
    EndSpoolerRestart(&restart);
    EXPECT_EQ(2, context.errorCount);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), RealSpoolerState());

    // Without a context the refused control and the time-out have no log to go to.
    restart = BeginSpoolerRestart(nullptr);
    EXPECT_EQ(1, restart.stopRequested);
    EndSpoolerRestart(&restart);
    EXPECT_EQ(2, context.errorCount);
}

// A service model: a stop still finishing for `stopPolls` queries refuses starts; a start takes
// `startPolls` queries (-1: the service stops again at once); `startError` refuses every start.
struct ServiceModel {
    DWORD state;
    int stopPolls, startPolls;
    DWORD startError;
};
ServiceModel model;

BOOL WINAPI ModelStartServiceW(SC_HANDLE, DWORD, LPCWSTR *)
{
    starts++;
    DWORD error = model.startError;
    if (!error && model.state == SERVICE_RUNNING)
        error = ERROR_SERVICE_ALREADY_RUNNING;
    if (!error && model.state == SERVICE_STOP_PENDING)
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    if (model.startPolls >= 0)
        model.state = SERVICE_START_PENDING;
    return TRUE;
}

BOOL WINAPI ModelQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS status)
{
    queries++;
    if (model.state == SERVICE_STOP_PENDING && --model.stopPolls <= 0)
        model.state = SERVICE_STOPPED;
    if (model.state == SERVICE_START_PENDING && --model.startPolls <= 0)
        model.state = SERVICE_RUNNING;
    memset(status, 0, sizeof(*status));
    status->dwCurrentState = model.state;
    return TRUE;
}

BOOL WINAPI DependentsControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS)
{
    controls++;
    SetLastError(ERROR_DEPENDENT_SERVICES_RUNNING);
    return FALSE;
}

TEST_F(InjectedSpooler, TheRestartAsksAgainUntilTheSpoolerRunsAndGivesUpAtOnceWhenItCannot)
{
    const struct {
        const char *name;
        ServiceModel model;
        bool runs;
        int starts, queries, sleeps;
    } cases[] = {
        // Refused while the stop finishes, asked again at the poll that finds it stopped.
        {"stop finishing", {SERVICE_STOP_PENDING, 3, 2, 0}, true, 2, 5, 4},
        {"starts at once", {SERVICE_STOPPED, 0, 1, 0}, true, 1, 1, 0},
        {"already running", {SERVICE_RUNNING, 0, 0, 0}, true, 1, 1, 0},
        {"disabled", {SERVICE_STOPPED, 0, 1, ERROR_SERVICE_DISABLED}, false, 1, 0, 0},
        {"no rights", {SERVICE_STOPPED, 0, 1, ERROR_ACCESS_DENIED}, false, 1, 0, 0},
        {"program missing", {SERVICE_STOPPED, 0, 1, ERROR_FILE_NOT_FOUND}, false, 1, 0, 0},
        // Stops again after every start: asked at each of the 49 polls after the first.
        {"never stays up", {SERVICE_STOPPED, 0, -1, 0}, false, 50, 51, 50},
    };
    ImportHook start("advapi32.dll", "StartServiceW",
                     reinterpret_cast<const void *>(&ModelStartServiceW));
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&ModelQueryServiceStatus));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        model = c.model;
        starts = queries = 0;
        size_t sleptBefore = clock.sleeps().size();
        FreeString(&context.logText);
        context.errorCount = 0;
        SpoolerRestart restart = {};
        restart.context = &context;
        restart.scManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
        restart.service = OpenServiceW(restart.scManager, L"spooler", SERVICE_START);
        restart.stopRequested = 1;
        ASSERT_NE(nullptr, restart.service);

        EXPECT_EQ(c.runs, EndSpoolerRestart(&restart));

        EXPECT_EQ(c.starts, starts);
        EXPECT_EQ(c.queries, queries);
        EXPECT_EQ((size_t)c.sleeps, clock.sleeps().size() - sleptBefore);
        EXPECT_EQ(c.runs ? 0 : 1, context.errorCount);
        if (!c.runs) {
            EXPECT_EQ(0u, Log(context).find(L"Error(4): Can't start the spooler"));
        }
    }
}

TEST_F(InjectedSpooler, ADisabledStartTypeStartsNothingAndAStoppedSpoolerIsNoted)
{
    const struct {
        const char *name;
        DWORD startType; // 0: the configuration cannot be read
        ServiceModel model;
        int starts;
        BYTE spoolerDisabled, spoolerWasStopped;
    } cases[] = {
        {"disabled, stopped", SERVICE_DISABLED, {SERVICE_STOPPED, 0, 1, 0}, 0, 1, 0},
        // Disabled while it still runs: a restart could not bring it back.
        {"disabled, running", SERVICE_DISABLED, {SERVICE_RUNNING, 0, 0, 0}, 0, 1, 0},
        {"on demand, stopped", SERVICE_DEMAND_START, {SERVICE_STOPPED, 0, 1, 0}, 1, 0, 1},
        {"configuration unreadable, stopped", 0, {SERVICE_STOPPED, 0, 1, 0}, 1, 0, 1},
        // Someone else is starting it: it was not found stopped.
        {"automatic, starting", SERVICE_AUTO_START, {SERVICE_START_PENDING, 0, 2, 0}, 1, 0, 0},
    };
    ImportHook config("advapi32.dll", "QueryServiceConfigW",
                      reinterpret_cast<const void *>(&ConfiguredQueryServiceConfigW));
    ImportHook start("advapi32.dll", "StartServiceW",
                     reinterpret_cast<const void *>(&ModelStartServiceW));
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&ModelQueryServiceStatus));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        configuredStartType = c.startType;
        model = c.model;
        starts = 0;
        FreeString(&context.logText);
        context.spoolerDisabled = context.spoolerWasStopped = 0;
        EXPECT_EQ(!c.spoolerDisabled, CheckSpooler(&context));
        EXPECT_EQ(c.starts, starts);
        EXPECT_EQ(c.spoolerDisabled, context.spoolerDisabled);
        EXPECT_EQ(c.spoolerWasStopped, context.spoolerWasStopped);
        std::wstring log = L">Check Spooler\r\n";
        if (c.spoolerDisabled)
            log += L"  Its start type is Disabled: it is not started\r\n";
        if (c.spoolerWasStopped)
            log += L"  It was stopped: started for this run\r\n";
        EXPECT_EQ(log, Log(context));
        EXPECT_EQ(0, context.errorCount); // the refusal is the sequences' to report
        EXPECT_EQ(0, context.logDepth);
    }
}

TEST_F(InjectedSpooler, AStopRefusedForDependentServicesIsReportedWithoutWaiting)
{
    ImportHook control("advapi32.dll", "ControlService",
                       reinterpret_cast<const void *>(&DependentsControlService));
    ImportHook query("advapi32.dll", "QueryServiceStatus",
                     reinterpret_cast<const void *>(&FrozenQueryServiceStatus));
    reportedState = SERVICE_RUNNING;
    SpoolerRestart restart = BeginSpoolerRestart(&context);
    EXPECT_EQ(1, controls);
    EXPECT_EQ(0, queries);
    EXPECT_EQ(0, restart.stopRequested); // it kept running: nothing to start again
    ExpectPollSleeps(0);
    EXPECT_EQ(0u,
              Log(context).find(
                  L">Restart Spooler\r\nError(5): ControlService failed with code 1051 (0x41b)"));
    EXPECT_EQ(std::wstring::npos, Log(context).find(L"Error(3)"));
    EndSpoolerRestart(&restart);
    EXPECT_EQ(1, context.errorCount);
    ExpectPollSleeps(0);
}

TEST_F(InjectedSpooler, ARefusedServiceManagerIsError1AndTheRestartHasNoHandles)
{
    ImportHook manager("advapi32.dll", "OpenSCManagerW",
                       reinterpret_cast<const void *>(&RefusingOpenSCManagerW));
    ImportHook start("advapi32.dll", "StartServiceW",
                     reinterpret_cast<const void *>(&IgnoredStartServiceW));
    ImportHook close("advapi32.dll", "CloseServiceHandle",
                     reinterpret_cast<const void *>(&RecordingCloseServiceHandle));

    EXPECT_FALSE(CheckSpooler(&context));
    EXPECT_EQ(0, context.logDepth);
    EXPECT_TRUE(closed.empty());

    SpoolerRestart restart = BeginSpoolerRestart(&context);
    EXPECT_EQ(nullptr, restart.scManager);
    EXPECT_EQ(nullptr, restart.service);
    EXPECT_EQ(0, restart.stopRequested);
    EXPECT_TRUE(EndSpoolerRestart(&restart)); // no stop to undo
    EXPECT_EQ(0, starts);
    EXPECT_EQ((std::vector<SC_HANDLE>{nullptr}), closed);

    EXPECT_EQ(2, context.errorCount);
    EXPECT_EQ(L">Check Spooler\r\n"
              L"  Error(1): Can't open service manager. - (Access denied.)\r\n"
              L">Restart Spooler\r\n"
              L"Error(1): Can't open service manager. - (Access denied.)\r\n",
              Log(context));

    // Without a context nothing at all is written.
    FreeString(&context.logText);
    restart = BeginSpoolerRestart(nullptr);
    EndSpoolerRestart(&restart);
    EXPECT_EQ(L"", Log(context));
    EXPECT_EQ(2, context.errorCount);
}

TEST_F(InjectedSpooler, ARefusedSpoolerServiceIsError2AndTheManagerIsClosed)
{
    ImportHook service("advapi32.dll", "OpenServiceW",
                       reinterpret_cast<const void *>(&RefusingOpenServiceW));
    ImportHook close("advapi32.dll", "CloseServiceHandle",
                     reinterpret_cast<const void *>(&RecordingCloseServiceHandle));

    EXPECT_FALSE(CheckSpooler(&context));
    EXPECT_EQ(1u, closed.size());
    EXPECT_NE(nullptr, closed[0]);

    SpoolerRestart restart = BeginSpoolerRestart(&context);
    EXPECT_NE(nullptr, restart.scManager);
    EXPECT_EQ(nullptr, restart.service);
    EndSpoolerRestart(&restart);
    EXPECT_EQ(2u, closed.size());

    EXPECT_EQ(2, context.errorCount);
    std::wstring log = Log(context);
    EXPECT_NE(std::wstring::npos, log.find(L"  Error(2): Can't open the spooler - ("));
    EXPECT_NE(std::wstring::npos, log.find(L"\nError(2): Can't open the spooler - ("));

    FreeString(&context.logText);
    restart = BeginSpoolerRestart(nullptr);
    EndSpoolerRestart(&restart);
    EXPECT_EQ(L"", Log(context));
}

} // namespace
