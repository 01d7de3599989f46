#include <windows.h>

#include <cstdio>

#include "jobs/engine/job_table.h"
#include "jobs/engine/scheduler.h"
#include "jobs/report/journal.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "jobs/start/runner_start.h"
#include "platform/admin_report.h"
#include "service/service.h"
#include "service/service_type.h"

namespace {

SERVICE_STATUS_HANDLE StatusHandle;

// What a stop may take once asked, told to the service manager so that it
// does not give up on us: the tick in progress, the wait for creations still
// in progress, the journal's flush, and a second for the sweep and the rest.
constexpr DWORD kSlackMs = 1000;
constexpr DWORD kStopWaitHintMs =
    kTickMilliseconds + kCreationWaitMilliseconds + kJournalFlushMs + kSlackMs;
// Once the scheduler has returned, only the journal's flush is left.
constexpr DWORD kCloseWaitHintMs = kJournalFlushMs + kSlackMs;

// The control handler reports on the dispatcher's thread, ServiceMain on its
// own: one at a time, and nothing once stopped, when the handle is no more.
CRITICAL_SECTION StatusLock;
DWORD CheckPoint;
bool Stopped;

int ReportServiceStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD serviceExitCode = 0,
                        DWORD waitHintMs = 0) {
    SERVICE_STATUS status = {};
    status.dwServiceType = kServiceType;
    status.dwCurrentState = state;
    // Shutdown too: a stop at reboot writes the journal's last records.
    // Paramchange: without it the service manager refuses the control.
    // Stopping, it takes none: the stop is under way.
    if (state == SERVICE_RUNNING) {
        status.dwControlsAccepted =
            SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    }
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = serviceExitCode;
    status.dwWaitHint = waitHintMs;
    EnterCriticalSection(&StatusLock);
    if (!Stopped) {
        // A pending state counts its steps; the others carry none.
        status.dwCheckPoint = state == SERVICE_STOP_PENDING ? ++CheckPoint : 0;
        Stopped = state == SERVICE_STOPPED;
        SetServiceStatus(StatusHandle, &status);
    }
    LeaveCriticalSection(&StatusLock);
    return 0;
}

// What sc query and the System log show for a run that could not start any
// job; a stop asked for is no failure.
DWORD ExitCodeOf(RunEnd end) {
    switch (end) {
    case RunEnd::kNoConfigFile:
        // A file that is there but can't be read says why.
        return ConfigReadError() != 0 ? ConfigReadError() : ERROR_FILE_NOT_FOUND;
    case RunEnd::kNoJobs:
        return ERROR_BAD_CONFIGURATION;
    case RunEnd::kStopped:
        break;
    }
    return NO_ERROR;
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // Told before the stop's work begins, which may outlast the service
        // manager's patience with a running service.
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopWaitHintMs);
        StopCause.store(control == SERVICE_CONTROL_STOP ? kStopByService : kStopByShutdown);
        StopFlag.store(1);
    } else if (control == SERVICE_CONTROL_PARAMCHANGE) {
        // The scheduler reads the file between ticks: nothing waits here.
        ReloadRequest.store(1);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    InitializeCriticalSection(&StatusLock);
    StatusHandle = RegisterServiceCtrlHandlerA(texts::kServiceName, ServiceCtrlHandler);
    if (StatusHandle == nullptr) {
        std::fputs(texts::kServiceStartError, stdout);
        return;
    }
    ReportServiceStatus(SERVICE_RUNNING);
    // Nobody sees a service's own desktop: a box there would wait for ever.
    SetWarningRole(WarningRole::kService);
    PrepareConsoleMessages();
    Refusal refusal = StartRunner(JournalRole::kService);
    if (refusal != Refusal::kNone) {
        // Each cause its own code, as sc query shows it.
        ReportServiceStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR,
                            static_cast<DWORD>(refusal));
        return;
    }
    RunEnd end = RunEnd::kStopped;
    RunScheduler(&end);
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0, kCloseWaitHintMs);
    CloseJournal();
    ReportServiceStatus(SERVICE_STOPPED, ExitCodeOf(end));
}

}  // namespace

bool IsServiceStartPending() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return false;
    bool pending = false;
    SC_HANDLE service = OpenServiceA(manager, texts::kServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status;
        pending =
            QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_START_PENDING;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pending;
}

bool RunServiceDispatcher() {
    // The dispatcher only reads the name.
    char* serviceName = const_cast<char*>(texts::kServiceName);
    SERVICE_TABLE_ENTRYA dispatchTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(dispatchTable) != 0;
}
