// The type the service is registered with and reports in every status: a
// shared-process service allowed to show its warning boxes on the desktop.
#pragma once

#include <windows.h>

constexpr DWORD kServiceType = SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS;
