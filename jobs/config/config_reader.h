// Reading the configuration off the tick. A thread of its own reads the
// file whenever the scheduler asks, and hands it a parsed version once the
// same bytes were read twice in a row (an editor's save in progress is not
// taken), or at once when the service manager asked. A read that stalls
// holds up the reader alone: the scheduler never waits for it.
#pragma once

#include <cstdint>

#include "jobs/job_types.h"

// A version handed to the scheduler.
struct ReadVersion {
    JobVersion version;
    uint64_t hash;
    bool asked;          // the service manager asked for it
    bool tellRejection;  // not told yet, or asked for: a rejection of it is told
};

// What the scheduler made of the version it took.
enum class VersionVerdict { kApplied, kRejected, kRejectedForRows };

// Starts the reader, which knows the bytes in force by their hash. False
// when no thread could be had: the runner then runs on what it loaded.
bool StartConfigReader(uint64_t appliedHash);

// The scheduler's call for a read; asked: the service manager's.
void AskConfigRead(bool asked);

// The version read and not yet taken, or null. The scheduler reads it
// until it returns its verdict.
const ReadVersion* TakeReadVersion();
void ReturnReadVersion(VersionVerdict verdict);

// Asks the reader to end; it does once its read in progress is done.
void StopConfigReader();
