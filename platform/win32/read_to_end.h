// Reading an open file to its end, or to the end of the buffer, for the
// backend's readers of whole files.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// False with the system's error when a read fails; *length holds what came.
inline bool ReadToEnd(HANDLE file, char* buffer, size_t size, size_t* length, uint32_t* error) {
    size_t total = 0;
    bool read = true;
    while (total < size) {
        DWORD chunk = 0;
        if (!ReadFile(file, buffer + total, static_cast<DWORD>(size - total), &chunk, nullptr)) {
            *error = GetLastError();
            read = false;
            break;
        }
        if (chunk == 0) break;
        total += chunk;
    }
    *length = total;
    return read;
}
