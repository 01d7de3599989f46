#include "platform/files.h"

#include <windows.h>

#include "platform/win32/read_to_end.h"

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
