#include "platform/journal_file.h"

#include <windows.h>

#include "platform/win32/late_function.h"

namespace {

// FILE_STANDARD_INFO, and its class number, as Vista and later define them;
// not in every SDK's headers for older targets.
struct StandardInfo {
    LARGE_INTEGER allocationSize;
    LARGE_INTEGER endOfFile;
    DWORD numberOfLinks;
    BOOLEAN deletePending;
    BOOLEAN directory;
};
constexpr int kFileStandardInfo = 1;
using FileInfoByHandle = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

const FileInfoByHandle ReadFileInfoByHandle =
    FindKernelFunction<FileInfoByHandle>("GetFileInformationByHandleEx");

// Only the writer thread copies.
char CopyBuffer[64 * 1024];

bool Seek(HANDLE file, uint64_t offset, DWORD from) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, distance, nullptr, from) != 0;
}

// Opens a journal file as itself, never following a link or junction under
// its name, and refuses one that is a link, or, where so asked, one with a
// second name. Others may read and delete it, never write it.
HANDLE OpenAsItself(const char* path, DWORD access, DWORD disposition, bool refuseSecondLink,
                    uint32_t* error) {
    HANDLE file =
        CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) {
        *error = GetLastError();
        CloseHandle(file);
        return nullptr;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (refuseSecondLink && info.nNumberOfLinks > 1)) {
        *error = ERROR_CANT_ACCESS_FILE;
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

}  // namespace

void* OpenJournalFile(const char* path, uint32_t* error) {
    // A link or junction planted under the journal's name is opened as
    // itself, never followed, and then refused: the runner may be LocalSystem.
    // A second hard link would let the cut reach a file known by another name.
    return OpenAsItself(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, true, error);
}

void* OpenJournalFileToRead(const char* path, uint32_t* error) {
    // Not sharing writing: a file that anyone writes is refused, and no one
    // writes it while we read.
    return OpenAsItself(path, GENERIC_READ, OPEN_EXISTING, false, error);
}

void CloseJournalFile(void* file) { CloseHandle(file); }

bool JournalFileSize(void* file, uint64_t* size, uint32_t* error) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) {
        *error = GetLastError();
        return false;
    }
    *size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

size_t ReadJournalFile(void* file, uint64_t offset, char* buffer, size_t size) {
    if (!Seek(file, offset, FILE_BEGIN)) return 0;
    DWORD read = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size), &read, nullptr)) return 0;
    return read;
}

bool AppendJournalFile(void* file, const char* bytes, size_t length, uint32_t* error) {
    if (!Seek(file, 0, FILE_END)) {
        *error = GetLastError();
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr)) {
        *error = GetLastError();
        return false;
    }
    if (written != length) {
        *error = ERROR_DISK_FULL;
        return false;
    }
    return true;
}

bool CutJournalFile(void* file, uint64_t length) {
    return Seek(file, length, FILE_BEGIN) && SetEndOfFile(file) != 0;
}

bool IsJournalFileDeleted(void* file) {
    if (ReadFileInfoByHandle != nullptr) {
        StandardInfo info = {};
        if (ReadFileInfoByHandle(file, kFileStandardInfo, &info, sizeof info)) {
            return info.deletePending || info.numberOfLinks == 0;
        }
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return false;
    return info.nNumberOfLinks == 0;
}

bool CopyJournalFile(void* file, const char* path) {
    HANDLE copy = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) return false;
    bool copied = true;
    uint64_t offset = 0;
    for (;;) {
        size_t read = ReadJournalFile(file, offset, CopyBuffer, sizeof CopyBuffer);
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(copy, CopyBuffer, static_cast<DWORD>(read), &written, nullptr) ||
            written != read) {
            copied = false;
            break;
        }
        offset += read;
    }
    CloseHandle(copy);
    // A copy cut short is no copy: the live file must then keep its records,
    // and the next try must find the name free.
    uint64_t size = 0;
    uint32_t error = 0;
    if (copied && JournalFileSize(file, &size, &error) && offset == size) return true;
    DeleteFileA(path);
    return false;
}

bool JournalFileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool MoveJournalFile(const char* from, const char* to) { return MoveFileA(from, to) != 0; }

bool DeleteJournalFile(const char* path) {
    if (DeleteFileA(path)) return true;
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}
