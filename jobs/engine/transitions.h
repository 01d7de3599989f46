// Every way a row's state may change, in one table: what happened, in
// which state, the state it leads to and what the scheduler does on the
// way. The scheduler thread applies them, and nothing else writes a state.
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

// What the scheduler does on the way, in this order.
enum RowAction : uint16_t {
    kActNothing = 0,
    kActRecordStart = 1 << 0,    // the run's start record
    kActRecordFail = 1 << 1,     // the fail that closes the attempt
    kActRecordRetry = 1 << 2,    // the retry that leaves it open
    kActCloseRetry = 1 << 3,     // a retry that will never come: fail with its error
    kActRecordEnd = 1 << 4,      // the run's end (or its limit's), and its handles closed
    kActRecordKill = 1 << 5,     // ended by its worker at the stop
    kActTerminate = 1 << 6,      // end the run's tree at the stop, with its record
    kActEndAtLimit = 1 << 7,     // end the run's tree at its limit
    kActLandEdit = 1 << 8,       // idle again; an interval-0 job becomes due
    kActFree = 1 << 9,           // every field anew
    kActResumeRun = 1 << 10,     // back to the state its run is in
    kActCountStopped = 1 << 11,  // the stop record counts it
};

struct Transition {
    RowState from;
    RowEvent event;
    RowState to;
    uint16_t actions;
};

// The transition for a row in from meeting event; null where there is none,
// which is a fault of the caller's.
const Transition* FindTransition(RowState from, RowEvent event);

// The table itself, and how often each entry was taken since the process
// began: what the randomized tests show they reach.
int32_t TransitionCount();
const Transition& TransitionAt(int32_t index);
uint32_t TransitionVisits(int32_t index);

const char* RowStateName(RowState state);
const char* RowEventName(RowEvent event);
