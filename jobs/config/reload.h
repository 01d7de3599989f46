// Taking a new version of the configuration while jobs run: which job of
// the new version is which job in force, and what becomes of each row. A
// pure decision; the scheduler carries it out.
#pragma once

#include <cstdint>

#include "jobs/job_types.h"

// One row of the table in force.
struct JobInForce {
    bool inUse;
    bool retired;  // no longer in the configuration; its run goes on
    bool running;  // a run is in progress: the row can't be freed
    int32_t interval;
    int32_t line;
    const char* command;  // as read; the latest one written, edits awaiting included
    int32_t limit = 0;    // seconds; 0: none
    // The command its run runs, while a run holds the row; null otherwise.
    // It differs from command while an edit waits for that run.
    const char* runs = nullptr;
};

enum class ReloadAction : uint8_t {
    kUnchanged,      // only its line may have moved
    kInterval,       // same command, new interval field: interval or limit
    kEdited,         // same program, new command: taken once its run has ended; the
                     // new limit applies at once, to the run it waits for too
    kRetired,        // gone from the configuration
    kAdded,          // new, or back while its retired run goes on (takes that run up)
    kEditCancelled,  // the command its run runs is back: the edit waiting for that run goes
};
constexpr int32_t kReloadActions = 6;

enum class ReloadVerdict : uint8_t { kApply, kFormatErrors, kTooManyRows };

struct ReloadChange {
    ReloadAction action;
    int32_t row;     // the row it keeps or takes
    int32_t newJob;  // in the version; -1 for a retired job
};

struct ReloadPlan {
    ReloadVerdict verdict;
    int32_t rowsNeeded;  // for kTooManyRows: rows the version needs, retired runs included
    int32_t counts[kReloadActions];
    int32_t changeCount;
    // A matched pair makes one change, every other old row or new job one
    // each: never more than both sides together.
    ReloadChange changes[2 * kMaxJobs];
};

// One command, whatever the letter case of its program path: Windows takes
// the path in any case. The rest is taken as written.
bool SameCommand(const char* oldCommand, const char* newCommand);

// Decides from the kMaxJobs rows in force and a new version. A row whose
// run goes on while an edit waits for it is matched first by the command
// that run runs, so that this command put back takes the run up; then
// every row by its command as written, in line order. Rows already retired take part in the match,
// and make no change of their own when left unmatched: one taken up by its own command is added, by
// another an edit.
void DecideReload(const JobInForce* rows, const JobVersion& version, ReloadPlan* plan);
