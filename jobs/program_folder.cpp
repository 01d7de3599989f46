#include "jobs/program_folder.h"

#include <cstring>

#include "platform/files.h"

size_t FolderLength(const char* path) {
    const char* lastBackslash = std::strrchr(path, '\\');
    return lastBackslash == nullptr ? 0 : static_cast<size_t>(lastBackslash - path) + 1;
}

bool ReadProgramFolder(char* folder, size_t size) {
    if (!GetExecutablePath(folder, size)) return false;
    size_t length = FolderLength(folder);
    folder[length] = '\0';
    return length != 0;
}
