#include <windows.h>

#include <cstddef>

#include "platform/standard_error.h"

namespace {

// Room for the longest warning line with every line end doubled.
constexpr size_t kLineBytes = 4096;

}  // namespace

void WriteStandardError(const char* text) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    // Line ends as the C runtime's text mode wrote them, for whoever reads.
    char line[kLineBytes];
    size_t length = 0;
    for (const char* c = text; *c != '\0' && length + 2 <= sizeof line; ++c) {
        if (*c == '\n') line[length++] = '\r';
        line[length++] = *c;
    }
    DWORD written = 0;
    WriteFile(error, line, static_cast<DWORD>(length), &written, nullptr);
}
