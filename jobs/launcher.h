// One run of one job, on a worker thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's limit for one environment variable's value, zero included.
constexpr size_t kMaxPathValue = 32767;

// Keeps the PATH this process had at start: every child's PATH is composed
// from it, so launches do not pile directories onto one another.
void CaptureStartPath();

// The PATH value for a child of jobDirectory: startPath, ";" and the
// directory, or the default search list followed by the directory when
// startPath is empty or the result would not fit in size bytes.
void ComposePathValue(const char* startPath, const char* jobDirectory, char* value,
                      size_t size);

// True for an error that says nothing about the program, only that the
// system lacked something for a moment: such a launch is tried once more.
bool IsTransientLaunchError(uint32_t error);

// Splits the job's command, starts its child in the program's directory with
// that directory on its PATH, waits for it, and marks the job idle again
// unless a stop has been asked for.
void JobWorker(int32_t index);
