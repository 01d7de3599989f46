// The row machine: every way a row's state may change, in one table, and
// what the scheduler does on the way. A row in a state meets an event; the
// first entry for both whose guard holds gives the state it leads to and
// the actions. The scheduler thread applies them, and nothing else writes a
// state.
#pragma once

#include <cstdint>

#include "jobs/engine/job_table.h"

enum class RowEvent : uint8_t {
    kAdded,          // a job of the configuration takes a free row
    kStarted,        // its worker is started
    kNoWorker,       // ...or could not be
    kCreated,        // the worker's child exists
    kFailed,         // the worker's creation failed
    kWarningDone,    // the warning of that failure is down
    kRetryAsked,     // the creation failed for want of resources
    kEnded,          // the child has ended
    kNotStarted,     // the worker saw the stop before creating
    kSelfEnded,      // the worker created its child after the stop and ended it
    kRetired,        // a new version no longer has the job
    kEdited,         // a new version changed the job's command
    kTakenUp,        // a new version has a retired job's command again
    kEditCancelled,  // a new version has again the command an edit waits to replace
    kLimit,          // the run passed its time limit
    kStop,           // the runner stops
    kAbandoned,      // the stop gave up waiting for the creation
};
constexpr int32_t kRowEvents = 17;

// What the scheduler does on the way, in the order of their bits.
enum RowAction : uint16_t {
    kActNothing = 0,
    kActRecordStart = 1 << 0,   // the run's start record
    kActRecordFail = 1 << 1,    // the fail that closes the attempt
    kActRecordRetry = 1 << 2,   // the retry that leaves it open
    kActCloseRetry = 1 << 3,    // a retry that will never come: fail with its error
    kActRecordEnd = 1 << 4,     // the run's end (or its limit's), and its handles closed
    kActRecordKill = 1 << 5,    // ended by its worker at the stop
    kActTerminate = 1 << 6,     // end the run's tree at the stop, with its record
    kActEndAtLimit = 1 << 7,    // end the run's tree at its limit
    kActCountStopped = 1 << 8,  // the stop record counts it
    kActFree = 1 << 9,          // every field anew
};

// A fact an entry needs besides the state and the event.
enum class RowGuard : uint8_t {
    kAlways,
    kIntervalZero,  // the job's interval, as it is now, is 0
    kInterval,      // ...is not: it waits its interval
    kRunLaunching,  // the run's worker is still creating its child
    kRunCreated,    // the run's child exists, as far as the scheduler has seen
    kRunFailed,     // the run's creation failed, its warning not yet down
};
constexpr int32_t kRowGuards = 6;

struct Transition {
    RowState from;
    RowEvent event;
    RowGuard guard;
    RowState to;
    uint16_t actions;
};

// The one place a row's state changes: the first entry for the row's state
// and event whose guard holds, with its actions. Returns false, changing
// nothing, where there is none, which is a fault of the caller's.
bool Apply(int32_t index, RowEvent event);

// What the row's worker told since the last look, applied in order.
void TakeReports(int32_t index);

// States that hold a worker: launching, running, warning, and retired or
// edit-waiting while the run goes on, and stopping. Such a row can't be
// freed or started again until the worker's last report.
bool HoldsWorker(RowState state);

// The run has a child that its worker still waits for.
bool HasLiveChild(const RowRun& run);

// At a scheduler run's start: nothing counted yet.
void ResetRowMachine();
// Runs the stop ended, for its record.
int32_t RunsEndedByStop();
// Events the last scheduler run met in a state with no transition for
// them: none, unless the engine is at fault.
int32_t RefusedTransitions();

// The table itself, and how often each entry was taken since the process
// began: what the randomized tests show they reach.
int32_t TransitionCount();
const Transition& TransitionAt(int32_t index);
uint32_t TransitionVisits(int32_t index);

const char* RowStateName(RowState state);
const char* RowEventName(RowEvent event);
const char* RowGuardName(RowGuard guard);
