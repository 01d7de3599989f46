#include "platform/system.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/win32/late_function.h"
#include "platform/win32/read_to_end.h"

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

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

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

size_t ReadEnvironmentBlock(uint16_t* buffer, size_t size) {
    // In UTF-16: the ANSI form (GetEnvironmentStringsA) is in the OEM code
    // page, and a child takes its block as ANSI or UTF-16 only.
    WCHAR* block = GetEnvironmentStringsW();
    if (block == nullptr) return 0;
    // Up to the zero that ends the last text, then the block's own zero.
    size_t length = 0;
    while (block[length] != 0) length += lstrlenW(block + length) + 1;
    size_t copied = length + 1 < 2 ? 2 : length + 1;
    if (copied > size) {
        copied = 0;
    } else {
        std::memcpy(buffer, block, length * sizeof *block);
        for (size_t i = length; i < copied; ++i) buffer[i] = 0;
    }
    FreeEnvironmentStringsW(block);
    return copied;
}

bool GetExecutablePath(char* buffer, size_t size) {
    DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // A full buffer means the path may have been cut.
    return length > 0 && length < size;
}

bool ChangeDirectory(const char* path, uint32_t* error) {
    if (SetCurrentDirectoryA(path)) return true;
    *error = GetLastError();
    return false;
}

bool ReadWholeFile(const char* name, char* buffer, size_t size, size_t* length, uint32_t* error) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(name, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        // Windows 9x knows no FILE_SHARE_DELETE.
        file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    bool read = ReadToEnd(file, buffer, size, length, error);
    CloseHandle(file);
    return read;
}

void DescribeSystemError(uint32_t error, char* text, size_t size) {
    // Into the caller's buffer: nothing allocated. Without inserts: some
    // messages hold %1, which would otherwise be read from nowhere.
    // On one line: the message's own line breaks become spaces.
    constexpr DWORD kFlags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD length =
        FormatMessageA(kFlags, nullptr, error, 0, text, static_cast<DWORD>(size), nullptr);
    if (length >= size) length = 0;
    while (length > 0 &&
           (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) {
        --length;
    }
    text[length] = '\0';
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

bool IsNtPlatform() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
