// Reading cycle_launch.txt into the job table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/job_types.h"

// Removes the carriage returns and line feeds at the end of line.
void TrimLineEnd(char* line);

// Splits "<interval>,<command>" at its first comma. Returns 0 with both
// outputs written (each kTextSize bytes), 1 when the line holds no comma,
// with neither written.
int ParseConfigLine(const char* line, char* intervalText, char* commandText);

// Decimal integer as the runtime's atoi reads it, but saturating at the
// limits of int32_t instead of wrapping around.
int32_t ParseInterval(const char* text);

// The interval field, "<interval>[/<limit>]", with or without its spaces:
// the interval read by ParseInterval up to the first slash, and after it a
// run's limit in seconds, 1 to INT32_MAX, in digits alone. limitSeconds is
// 0 without a slash. False, with neither output written, for a malformed
// limit.
bool ParseIntervalField(const char* text, int32_t* interval, int32_t* limitSeconds);

// The interval field as an administrator writes it: "60", or "60/600"
// with a limit.
void FormatIntervalField(int32_t interval, int32_t limitSeconds, char* text, size_t size);

// Fills jobs, and load with what was found of the file, from the
// configuration file in the program's directory, which it makes current.
// Reads at most the file's first MiB. Warns once for a file it can't read,
// and once, at the end, for all the malformed lines. Returns the row count;
// 0 when the file can't be read or yields no job.
int32_t LoadJobTable(ConfigLoad* load, JobVersion* jobs);

// Reads the configuration file once, without waiting for anyone, into a
// buffer of this unit's, which stays valid until the next read. False with
// the platform's error when it can't be read. A file that others can change
// is read through the handle whose security is judged, and its version is
// rejected and told once; its bytes pass only where they are those last
// read from a sound file.
bool ReadConfigOnce(const char** bytes, size_t* length, uint32_t* error);

// The jobs of a new version, read as at start but for blank and
// whitespace-only lines, which carry no job and are no error here, and read
// to its end: jobs past the limit are counted, later format errors too.
void ParseJobVersion(const char* bytes, size_t length, JobVersion* version);
