// The program's folder: where the executable lives, which holds the
// configuration and the journals and is current while jobs run.
#pragma once

#include <cstddef>

// The length of path's folder, up to and with its last backslash; 0 when
// path names no folder.
size_t FolderLength(const char* path);

// The running executable's folder, with its trailing backslash. False where
// the platform can't say where the executable is, or the path names no
// folder.
bool ReadProgramFolder(char* folder, size_t size);
