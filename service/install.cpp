#include <windows.h>

#include <cstdio>
#include <cstring>

#include "jobs/job_table.h"
#include "jobs/texts.h"
#include "platform/files.h"
#include "service/service.h"
#include "service/service_type.h"

namespace {

constexpr char kLocalSystem[] = "LocalSystem";

// Unquoted, a path with a space lets the Service Control Manager try
// C:\Program.exe and the like first: quote it then.
bool ComposeBinaryPath(char* binaryPath, size_t size) {
    char executable[kTextSize];
    if (!GetExecutablePath(executable, sizeof executable)) return false;
    const char* format = std::strchr(executable, ' ') != nullptr ? "\"%s\"" : "%s";
    int length = std::snprintf(binaryPath, size, format, executable);
    return length > 0 && static_cast<size_t>(length) < size;
}

}  // namespace

int InstallService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        std::fputs(texts::kServiceManagerError, stdout);
        return 0;
    }
    char binaryPath[kTextSize + 2];
    SC_HANDLE service = nullptr;
    if (ComposeBinaryPath(binaryPath, sizeof binaryPath)) {
        service = CreateServiceA(manager, texts::kServiceName, texts::kServiceName,
                                 SERVICE_ALL_ACCESS, kServiceType, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, nullptr,
                                 kLocalSystem, nullptr);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
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
    SC_HANDLE service = OpenServiceA(manager, texts::kServiceName, DELETE);
    if (service == nullptr) {
        std::fputs(texts::kServiceOpenError, stdout);
    } else if (!DeleteService(service)) {
        std::fputs(texts::kServiceRemoveError, stdout);
    } else {
        std::fputs(texts::kServiceRemoveSuccess, stdout);
        result = 0;
    }
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
