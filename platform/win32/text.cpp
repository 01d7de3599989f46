#include "platform/text.h"

#include <windows.h>

static_assert(sizeof(WCHAR) == sizeof(uint16_t), "UTF-16 units");

size_t ConvertToAnsi(const uint16_t* units, size_t count, char* ansi, size_t size) {
    const auto* wide = reinterpret_cast<const WCHAR*>(units);
    // Where the ANSI code page is UTF-8 itself, every character has a form,
    // and Windows takes neither the flag nor the question.
    if (GetACP() == CP_UTF8) {
        int length = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(count), ansi,
                                         static_cast<int>(size), nullptr, nullptr);
        return length > 0 ? static_cast<size_t>(length) : 0;
    }
    BOOL usedDefault = FALSE;
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(count),
                                     ansi, static_cast<int>(size), nullptr, &usedDefault);
    return length > 0 && !usedDefault ? static_cast<size_t>(length) : 0;
}

size_t ConvertAnsiToUtf8(const char* ansi, char* utf8, size_t size) {
    if (size == 0) return 0;
    utf8[0] = '\0';
    // The runner's texts are a few hundred characters at most.
    WCHAR wide[2048];
    int count = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, sizeof wide / sizeof wide[0]);
    if (count <= 1) return 0;
    --count;  // without its zero
    // Too long for utf8: drop characters from the end, never half a pair.
    for (; count > 0; --count) {
        if (IS_HIGH_SURROGATE(wide[count - 1])) continue;
        int length = WideCharToMultiByte(CP_UTF8, 0, wide, count, utf8, static_cast<int>(size - 1),
                                         nullptr, nullptr);
        if (length > 0) {
            utf8[length] = '\0';
            return static_cast<size_t>(length);
        }
    }
    return 0;
}

size_t ConvertAnsiToUtf16(const char* ansi, uint16_t* units, size_t size) {
    // With its zero, which the count then leaves out.
    int count = MultiByteToWideChar(CP_ACP, 0, ansi, -1, reinterpret_cast<WCHAR*>(units),
                                    static_cast<int>(size));
    if (count <= 1) return 0;
    return static_cast<size_t>(count - 1);
}
