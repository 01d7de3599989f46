// The journal: one record per line of what the runner did, in a file beside
// the configuration. Records go to a fixed queue that one writer thread
// empties into the file, so that no job, no tick and no stop ever waits on
// the disk: what can't be queued or written is counted and told later.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/job_types.h"
#include "platform/clock.h"
#include "platform/errors.h"

enum class JournalRole { kForeground, kService };

// Exit code of a run ended at its limit. A program may exit with it too:
// the limit record tells the two apart.
constexpr uint32_t kLimitExitCode = kErrorTimeout;

// Records in the queue: room for every job to fail at once, twice over.
constexpr int32_t kJournalQueueRecords = 2048;
// The live file rolls once it has passed this; four older files are kept.
constexpr uint64_t kJournalRollBytes = 4u * 1024u * 1024u;
constexpr int32_t kJournalOlderFiles = 4;
// At stop, how long the queue may take to reach the disk.
constexpr uint32_t kJournalFlushMs = 1000;

// Opens the role's journal in the program folder and starts its writer.
// Where the file can't be opened, says so once, and the runner runs on
// without one. Call before any record.
bool OpenJournal(JournalRole role);

// Writes out what is queued, waiting at most kJournalFlushMs, and closes.
void CloseJournal();

// The next run's number: 1, 2, ... over all jobs of this runner. After
// INT32_MAX it wraps to 1 again, so that a number is never 0 (none) nor
// negative; at a thousand launches a second that is 24 days on.
int32_t NextRunNumber();
// Where the numbering goes on from: the last number handed out.
void SetLastRunNumber(int32_t last);

// The runner's first record, after the load.
void JournalRunnerStart(const ConfigLoad& load);
// A record of the runner's own between those two.
void JournalRunnerNote(const char* text);
// Its last record: why it stops, and how many runs the stop ended.
void JournalRunnerStop(const char* cause, int32_t killed);

// A run's records, each stamped with the time of its event (at), which
// may be a moment before the record is made.
void JournalStart(int32_t line, int32_t run, uint32_t pid, const char* command,
                  const LocalTime& at);
void JournalEnd(int32_t line, int32_t run, uint32_t pid, uint32_t exitCode, uint64_t ms,
                const LocalTime& at);
// A run ended at its limit: in place of its end record.
void JournalLimit(int32_t line, int32_t run, uint32_t pid, uint32_t exitCode, uint64_t ms,
                  int32_t limitSeconds, const LocalTime& at);
void JournalKill(int32_t line, int32_t run, uint32_t pid, uint32_t exitCode, uint64_t ms,
                 const LocalTime& at);
void JournalFail(int32_t line, int32_t run, uint32_t error, const char* programPath,
                 const LocalTime& at);
void JournalRetry(int32_t line, int32_t run, uint32_t error, const char* programPath,
                  const LocalTime& at);
// What a new version of the configuration did, or why it was not taken.
// line and pid 0 where there is none.
void JournalReload(int32_t line, uint32_t pid, const char* text);

// How a text field is written: tabs and line ends become spaces, and a text
// with a double quote is quoted as CSV quotes it. Returns the length, cut to
// fit size bytes with the zero.
size_t QuoteJournalText(const char* text, char* quoted, size_t size);
