#include <windows.h>

#include "platform/text.h"

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
