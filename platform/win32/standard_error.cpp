#include <windows.h>

#include <cstring>

#include "platform/standard_error.h"

void WriteStandardError(const char* text) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(error, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}
