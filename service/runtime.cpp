#include <windows.h>

#include <cstdio>

#include "jobs/job_table.h"
#include "jobs/scheduler.h"
#include "jobs/texts.h"
#include "service/service.h"
#include "service/service_type.h"

namespace {

SERVICE_STATUS_HANDLE StatusHandle;

int ReportServiceStatus(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = kServiceType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetServiceStatus(StatusHandle, &status);
    return 0;
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        StopFlag.store(1);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    StatusHandle = RegisterServiceCtrlHandlerA(texts::kServiceName, ServiceCtrlHandler);
    if (StatusHandle == nullptr) {
        std::fputs(texts::kServiceStartError, stdout);
        return;
    }
    ReportServiceStatus(SERVICE_RUNNING);
    RunScheduler();
    ReportServiceStatus(SERVICE_STOPPED);
}

}  // namespace

bool IsServiceStartPending() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return false;
    bool pending = false;
    SC_HANDLE service = OpenServiceA(manager, texts::kServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status;
        pending = QueryServiceStatus(service, &status) &&
                  status.dwCurrentState == SERVICE_START_PENDING;
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
