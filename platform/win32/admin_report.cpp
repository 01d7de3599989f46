#include "platform/admin_report.h"

#include <windows.h>

#include <cstring>

#include "messages.h"
#include "platform/win32/late_function.h"

namespace {

// The message table's entries are warnings: their event IDs carry the
// severity in the top bits.
constexpr DWORD kWarningSeverity = 0x80000000u;
static_assert((kWarningSeverity | 1) == MSG_CONFIG_NOT_FOUND, "message table out of step");
static_assert((kWarningSeverity | 2) == MSG_CONFIG_FORMAT_ERROR, "message table out of step");
static_assert((kWarningSeverity | 3) == MSG_LAUNCH_ERROR, "message table out of step");
static_assert((kWarningSeverity | 4) == MSG_WARNINGS_HELD_BACK, "message table out of step");
static_assert((kWarningSeverity | 5) == MSG_JOURNAL_UNAVAILABLE, "message table out of step");
static_assert((kWarningSeverity | 6) == MSG_RELOAD_REJECTED, "message table out of step");
static_assert((kWarningSeverity | 8) == MSG_UNSAFE_PERMISSIONS_ALLOWED,
              "message table out of step");
static_assert((kWarningSeverity | 9) == MSG_RUN_LIMIT, "message table out of step");
static_assert((kWarningSeverity | 10) == MSG_FOLDER_NOT_CURRENT, "message table out of step");
constexpr DWORD kErrorSeverity = 0xC0000000u;
static_assert((kErrorSeverity | 7) == MSG_UNSAFE_PERMISSIONS, "message table out of step");

constexpr UINT kBoxStyle = MB_OK | MB_ICONEXCLAMATION;
constexpr DWORD kNoSession = 0xFFFFFFFFu;
// Not in every SDK's headers; Windows understands it where AddDllDirectory exists.
constexpr DWORD kSearchSystem32Only = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr char kWtsLibrary[] = "wtsapi32.dll";

// Windows XP and later: resolved at run time, so that the executable still
// loads where it is missing.
using ConsoleSessionOf = DWORD(WINAPI*)();

using WtsSendMessage = BOOL(WINAPI*)(HANDLE server, DWORD session, LPSTR title, DWORD titleLength,
                                     LPSTR message, DWORD messageLength, DWORD style, DWORD timeout,
                                     DWORD* response, BOOL wait);

// Set once, before any reporting thread exists.
WtsSendMessage SendMessageToSession = nullptr;
ConsoleSessionOf ActiveConsoleSession = nullptr;

// wtsapi32 is no KnownDLL: loaded by name, a copy planted beside the
// executable would run as LocalSystem. Only the system folder's is taken.
HMODULE LoadFromSystemFolder(const char* library) {
    if (FindKernelFunction<FARPROC>("AddDllDirectory") != nullptr) {
        return LoadLibraryExA(library, nullptr, kSearchSystem32Only);
    }
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof path);
    if (length == 0 || length + 1 + std::strlen(library) >= sizeof path) return nullptr;
    path[length] = '\\';
    std::strcpy(path + length + 1, library);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool PrepareConsoleMessages() {
    if (SendMessageToSession != nullptr) return true;
    ActiveConsoleSession = FindKernelFunction<ConsoleSessionOf>("WTSGetActiveConsoleSessionId");
    if (ActiveConsoleSession == nullptr) return false;
    HMODULE wts = LoadFromSystemFolder(kWtsLibrary);
    if (wts == nullptr) return false;
    SendMessageToSession = FindLateFunction<WtsSendMessage>(wts, "WTSSendMessageA");
    return SendMessageToSession != nullptr;
}

void WriteWarningEvent(const char* source, uint32_t eventId, const char* text) {
    HANDLE log = RegisterEventSourceA(nullptr, source);
    if (log == nullptr) return;
    const char* strings[] = {text};
    ReportEventA(log, EVENTLOG_WARNING_TYPE, 0, kWarningSeverity | eventId, nullptr, 1, 0, strings,
                 nullptr);
    DeregisterEventSource(log);
}

void WriteErrorEvent(const char* source, uint32_t eventId, const char* text) {
    HANDLE log = RegisterEventSourceA(nullptr, source);
    if (log == nullptr) return;
    const char* strings[] = {text};
    ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, kErrorSeverity | eventId, nullptr, 1, 0, strings,
                 nullptr);
    DeregisterEventSource(log);
}

bool SendConsoleMessage(const char* caption, const char* text) {
    if (SendMessageToSession == nullptr) return false;
    DWORD session = ActiveConsoleSession();
    if (session == kNoSession) return false;
    DWORD response = 0;
    // Not waiting: a box nobody answers must never hold the service up, and
    // the call can't be cancelled once it waits.
    return SendMessageToSession(nullptr, session, const_cast<char*>(caption),
                                static_cast<DWORD>(std::strlen(caption)), const_cast<char*>(text),
                                static_cast<DWORD>(std::strlen(text)), kBoxStyle, 0, &response,
                                FALSE) != FALSE;
}
