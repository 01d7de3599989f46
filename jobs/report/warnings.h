// The runner's warnings, and where they go. In the foreground, a box on the
// desktop that blocks its thread until someone presses OK. In the service,
// whose desktop nobody sees, an event log entry and a box sent to the
// console user, and nothing waits for a person. A foreground whose desktop
// nobody sees either reports like the service, and on standard error
// instead of the console user's desktop: through a writer of its own, so
// that a standard error nobody reads holds up no job.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/job_types.h"

// The warning's message in the executable's message table (event ID).
enum class WarningEvent : uint32_t {
    kConfigNotFound = 1,
    kConfigFormatError = 2,
    kLaunchError = 3,
    kWarningsHeldBack = 4,
    kJournalUnavailable = 5,
    kReloadRejected = 6,
    kUnsafePermissions = 7,  // an error: the runner refuses to run
    kUnsafePermissionsAllowed = 8,
    kRunLimit = 9,
    kFolderNotCurrent = 10,
};

enum class WarningRole { kForeground, kService };

// Launch warnings reported to an administrator, over the whole process: at
// most so many event log entries and console boxes in a window of a minute.
// What goes past them is counted and told in one entry once the window has
// passed.
constexpr uint64_t kWarningWindowMilliseconds = 60000;
constexpr int32_t kLaunchEventsPerWindow = 10;
constexpr int32_t kConsoleBoxesPerWindow = 1;

// Lines for standard error waiting to be written, past which they are
// counted and told as one; and how long the exit waits for them.
constexpr int32_t kStandardErrorLines = 64;
constexpr uint32_t kWarningsFlushMs = 500;

// The longest text RaiseRefusal and RaiseUnsafeAllowed take: every finding
// on the runner's files and its fix, with a heading. It waits for standard
// error in a room of its own, longer than a queued line.
constexpr size_t kStartReportSize = 16384 + 256;

// Rejected versions of the configuration, told apart from launch warnings:
// at most so many in a window of an hour, then one entry with the count of
// what the window held back, once it has passed.
constexpr uint64_t kRejectionWindowMilliseconds = 3600000;
constexpr int32_t kRejectionsPerWindow = 6;

// Set before the scheduler starts, before any worker exists; the
// foreground's is the default. The foreground asks the platform here,
// once, whether anyone can see its boxes.
void SetWarningRole(WarningRole role);

void RaiseWarning(WarningEvent event, const char* text);

// Lets the lines for standard error out before the process ends, waiting
// at most kWarningsFlushMs: a standard error that takes nothing must not
// hold the exit. True when all were written.
bool FlushWarnings();

// The format warnings of one load, raised once the load is done: a box per
// line where a person sees them, else one report for them all.
void RaiseFormatWarnings(const FormatErrors& errors);

// The summary of a load's format warnings: the warning's own text, the count
// and the first line numbers.
void ComposeFormatSummary(const FormatErrors& errors, char* text, size_t size);

// The numbers of the first lines with format errors, "2, 3, ..." where more
// were counted, appended to text at *at (AppendFormat).
void AppendFormatErrorLines(const FormatErrors& errors, char* text, size_t size, size_t* at);

// A new version of the configuration that was not taken: one report, and
// never a box, since the scheduler must not wait for anyone.
void RaiseReloadRejected(const char* text);

// That the runner refuses to run from files others can change: a box where
// a person sees it, else an error entry in the event log, and the console
// user's box or standard error (through its writer: FlushWarnings before
// the exit).
void RaiseRefusal(const char* text);

// That an administrator's override let the runner run all the same: in the
// event log in both roles, and on standard error in the foreground; never a
// box, since the runner goes on.
void RaiseUnsafeAllowed(const char* text);

// That the runner goes on without its journal: told once, and never in a
// box, since nothing is wrong with the jobs.
void RaiseJournalNotice(const char* text);

// Any other notice of the runner's own that leaves the jobs running: told
// as the journal's is, under its own event.
void RaiseRunnerNotice(WarningEvent event, const char* text);

// A launch warning of the job in a row. Reported to an administrator, it is
// reported once, until the row has started a child again (ClearJobWarning):
// a job that fails at every try does not flood the event log or the desktop.
// There, reason (the system's message for the error, or "") follows the text.
void RaiseJobWarning(int32_t row, const char* text, const char* reason);
void ClearJobWarning(int32_t row);

// That a run was ended at its limit: on standard error in the foreground,
// in the event log in the service and where nobody sees the foreground's
// boxes. Never a box: the job goes on. Its event log entries count with the
// launch warnings' against their limit per minute. Call it from a worker,
// never from the scheduler's thread: the event log is another process.
void RaiseLimitWarning(int32_t line, const char* program, int32_t limitSeconds);

// Called at every tick: once the window of the limits has passed, tells how
// many launch warnings, and rejected versions, were held back in it.
void RaiseHeldBackWarnings();
