#include "platform/standard_error.h"

#include <windows.h>

#include <cstddef>

namespace {

// A piece of the text with its line ends doubled; the start's report takes
// several.
constexpr size_t kPieceBytes = 4096;

}  // namespace

void WriteStandardError(const char* text) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    // Line ends as the C runtime's text mode wrote them, for whoever reads.
    char piece[kPieceBytes];
    const char* c = text;
    while (*c != '\0') {
        size_t length = 0;
        for (; *c != '\0' && length + 2 <= sizeof piece; ++c) {
            if (*c == '\n') piece[length++] = '\r';
            piece[length++] = *c;
        }
        DWORD written = 0;
        if (!WriteFile(error, piece, static_cast<DWORD>(length), &written, nullptr)) return;
    }
}
