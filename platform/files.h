// Where the program lives.
#pragma once

#include <cstddef>

// The running executable's full path. False when the platform can't give it
// or it does not fit in size bytes: a cut path is never handed out.
bool GetExecutablePath(char* buffer, size_t size);

bool ChangeDirectory(const char* path);
