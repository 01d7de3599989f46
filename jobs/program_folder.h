// The program's folder: where the configuration is read from, by its full
// path, and the folder children without one of their own start in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/job_table.h"
#include "jobs/texts.h"

// Room for a folder taken from a kTextSize path, and the file's name.
constexpr size_t kConfigPathSize = kTextSize + sizeof texts::kConfigFileName;

// The configuration's full path beside executablePath. False when the path
// names no folder or the result does not fit in size bytes.
bool ComposeConfigPath(const char* executablePath, char* path, size_t size);

// The same for the running executable; false where the platform can't say
// where that is.
bool ConfigFilePath(char* path, size_t size);

// Makes folder (the program's, with its trailing backslash) current, once
// at the start of a scheduler run. Where that fails, says so: a runner
// record, and a line for an administrator; never a box, since the jobs
// still run.
void EnterProgramFolder(const char* folder);
