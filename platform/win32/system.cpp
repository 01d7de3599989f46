#include "platform/system.h"

#include <windows.h>

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
