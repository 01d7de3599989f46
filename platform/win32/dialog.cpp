#include "platform/dialog.h"

#include <windows.h>

#include "platform/win32/late_function.h"

namespace {

constexpr UINT kWarningBoxStyle = MB_OK | MB_ICONEXCLAMATION;
constexpr DWORD kFirstVistaMajorVersion = 6;

using SessionOfProcess = BOOL(WINAPI*)(DWORD processId, DWORD* session);

// Since Vista, session 0 holds the services alone; before, it was the
// console's.
bool IsInUnseenSession() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version) || version.dwMajorVersion < kFirstVistaMajorVersion) return false;
    auto sessionOf = FindKernelFunction<SessionOfProcess>("ProcessIdToSessionId");
    DWORD session = 0;
    if (sessionOf == nullptr || !sessionOf(GetCurrentProcessId(), &session)) return false;
    return session == 0;
}

}  // namespace

void ShowWarningBox(const char* caption, const char* text) {
    MessageBoxA(nullptr, text, caption, kWarningBoxStyle);
}

bool IsDesktopSeen() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    // Unknown counts as unseen: a box there could wait for ever.
    if (station == nullptr ||
        !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0 && !IsInUnseenSession();
}
