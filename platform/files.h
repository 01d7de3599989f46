// Where the program lives, and the files it reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/errors.h"

// The running executable's full path. False when the platform can't give it
// or it does not fit in size bytes: a cut path is never handed out.
bool GetExecutablePath(char* buffer, size_t size);

// Makes path the current directory; false with the platform's error.
bool ChangeDirectory(const char* path, uint32_t* error);

// Reads the file's first size bytes (all of a smaller file) into buffer and
// sets length. The file is open for milliseconds only, and others may read,
// write, rename or delete it meanwhile, so that an editor's save is never
// refused. False with the platform's error code in error.
bool ReadWholeFile(const char* name, char* buffer, size_t size, size_t* length, uint32_t* error);
