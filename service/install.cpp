#include <windows.h>

#include <cstdio>
#include <cstring>

#include "jobs/engine/job_table.h"
#include "jobs/report/texts.h"
#include "platform/files.h"
#include "service/service.h"
#include "service/service_type.h"

namespace {

constexpr char kLocalSystem[] = "LocalSystem";
constexpr char kEventSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Unquoted, a path with a space lets the Service Control Manager try
// C:\Program.exe and the like first: quote it then.
bool ComposeBinaryPath(const char* executable, char* binaryPath, size_t size) {
    const char* format = std::strchr(executable, ' ') != nullptr ? "\"%s\"" : "%s";
    int length = std::snprintf(binaryPath, size, format, executable);
    return length > 0 && static_cast<size_t>(length) < size;
}

// Lets Event Viewer find the texts of the service's entries in the
// executable's message table. A failure costs only those texts.
void EventSourceKey(char* key, size_t size) {
    std::snprintf(key, size, "%s%s", kEventSourcesKey, texts::kEventSource);
}

void AddEventSource(const char* executable) {
    char name[kTextSize];
    EventSourceKey(name, sizeof name);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(executable),
                   static_cast<DWORD>(std::strlen(executable) + 1));
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&kEventTypesSupported),
                   sizeof kEventTypesSupported);
    RegCloseKey(key);
}

}  // namespace

int InstallService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        std::fputs(texts::kServiceManagerError, stdout);
        return 0;
    }
    char executable[kTextSize];
    char binaryPath[kTextSize + 2];
    SC_HANDLE service = nullptr;
    if (GetExecutablePath(executable, sizeof executable) &&
        ComposeBinaryPath(executable, binaryPath, sizeof binaryPath)) {
        service =
            CreateServiceA(manager, texts::kServiceName, texts::kServiceName, SERVICE_ALL_ACCESS,
                           kServiceType, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath,
                           nullptr, nullptr, nullptr, kLocalSystem, nullptr);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
        AddEventSource(executable);
        std::fputs(texts::kServiceAddSuccess, stdout);
    } else {
        std::fputs(texts::kServiceAddError, stdout);
    }
    CloseServiceHandle(manager);
    return 0;
}

int RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        std::fputs(texts::kServiceManagerError, stdout);
        return 1;
    }
    int result = 1;
    // The event source goes only with the entry: an entry still there, one
    // whose deletion failed, keeps the texts of its events.
    bool entryGone = false;
    SC_HANDLE service = OpenServiceA(manager, texts::kServiceName, DELETE);
    if (service == nullptr) {
        entryGone = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        std::fputs(texts::kServiceOpenError, stdout);
    } else if (!DeleteService(service)) {
        std::fputs(texts::kServiceRemoveError, stdout);
    } else {
        entryGone = true;
        std::fputs(texts::kServiceRemoveSuccess, stdout);
        result = 0;
    }
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (entryGone) {
        char name[kTextSize];
        EventSourceKey(name, sizeof name);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, name);
    }
    return result;
}
