#include "platform/environment.h"

#include <windows.h>

#include <cstring>

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
