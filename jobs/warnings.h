// The runner's warnings, and where they go. In the foreground, a box on the
// desktop that blocks its thread until someone presses OK. In the service,
// whose desktop nobody sees, an event log entry and a box sent to the
// console user, and nothing waits for a person.
#pragma once

#include <cstdint>

#include "jobs/job_table.h"

// The warning's message in the executable's message table (event ID).
enum class WarningEvent : uint32_t {
    kConfigNotFound = 1,
    kConfigFormatError = 2,
    kLaunchError = 3,
    kJournalUnavailable = 4,
};

enum class WarningRole { kForeground, kService };

// Set before the scheduler starts; the foreground's is the default.
void SetWarningRole(WarningRole role);

void RaiseWarning(WarningEvent event, const char* text);

// The format warnings of one load, raised once the load is done.
void RaiseFormatWarnings(const FormatErrors& errors);

// A launch warning of one job. In the service it is reported once, until
// the job has started a child again (ClearJobWarning): a job that fails at
// every try does not flood the event log or the desktop.
// That the runner goes on without its journal: told once, and never in a
// box, since nothing is wrong with the jobs.
void RaiseJournalNotice(const char* text);

void RaiseJobWarning(int32_t job, const char* text);
void ClearJobWarning(int32_t job);
