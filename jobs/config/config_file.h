// The configuration file: its full path beside the executable, the read
// whose security is judged, and the hash that tells one version from
// another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/config/verdict.h"
#include "platform/files.h"

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

// FNV-1a, 64 bits: tells one version of the file from another.
uint64_t HashConfigBytes(const char* bytes, size_t length);

// Reads the configuration through the handle whose security is judged; an
// administrator's override lets a failing one be read all the same.
// False with the platform's error when it can't be read; *unsafe then tells
// that it was read but fails the check: length still tells the bytes read,
// and the report is in ConfigCheckReport().
bool ReadJudgedConfig(char* buffer, size_t size, size_t* length, uint32_t* error, bool* unsafe);
const char* ConfigCheckReport();

// A new version of the configuration, read as ReadJudgedConfig reads it.
// From a file that fails the check, the bytes pass only where they are
// those last read from a sound one: a change of permissions alone waits for
// the next version. Any other version is rejected, and told once.
bool ReadConfigVersion(char* buffer, size_t size, size_t* length, uint32_t* error);

// An editor in the middle of a save holds the file for a moment.
constexpr uint32_t kSaveWaitMilliseconds = 2000;
constexpr uint32_t kSaveWaitStepMilliseconds = 50;

// True when an administrator set the registry's override of the check.
bool IsUnsafePermissionsAllowed();

// The platform's error given for a configuration that fails the check.
constexpr uint32_t kErrorUnsafeConfiguration = kErrorAccessDenied;
