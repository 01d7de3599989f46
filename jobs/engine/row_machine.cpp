#include "jobs/engine/row_machine.h"

#include "jobs/config/command.h"
#include "jobs/engine/launcher.h"
#include "jobs/report/journal.h"
#include "jobs/report/warnings.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace {

using S = RowState;
using E = RowEvent;
using G = RowGuard;

// A row that holds a worker (HoldsWorker) can't be freed or started again
// until the worker's last report. An edit lands where the job's interval
// says: an interval-0 job would never run its new command, so it runs it
// once at once.
constexpr Transition kTransitions[] = {
    // Starting.
    {S::kFree, E::kAdded, G::kAlways, S::kDue, kActNothing},
    {S::kIdle, E::kStarted, G::kAlways, S::kLaunching, kActNothing},
    {S::kDue, E::kStarted, G::kAlways, S::kLaunching, kActNothing},
    {S::kRetryPending, E::kStarted, G::kAlways, S::kLaunching, kActNothing},
    {S::kIdle, E::kNoWorker, G::kAlways, S::kDue, kActNothing},
    {S::kDue, E::kNoWorker, G::kAlways, S::kDue, kActNothing},
    {S::kRetryPending, E::kNoWorker, G::kAlways, S::kRetryPending, kActNothing},

    // The worker's reports.
    {S::kLaunching, E::kCreated, G::kAlways, S::kRunning, kActRecordStart},
    {S::kRetired, E::kCreated, G::kAlways, S::kRetired, kActRecordStart},
    {S::kEditWaiting, E::kCreated, G::kAlways, S::kEditWaiting, kActRecordStart},
    {S::kStopping, E::kCreated, G::kAlways, S::kStopping, kActRecordStart | kActTerminate},

    {S::kLaunching, E::kFailed, G::kAlways, S::kWarning, kActRecordFail},
    {S::kRetired, E::kFailed, G::kAlways, S::kRetired, kActRecordFail},
    {S::kEditWaiting, E::kFailed, G::kAlways, S::kEditWaiting, kActRecordFail},
    {S::kStopping, E::kFailed, G::kAlways, S::kStopping, kActRecordFail},

    {S::kWarning, E::kWarningDone, G::kAlways, S::kIdle, kActNothing},
    {S::kRetired, E::kWarningDone, G::kAlways, S::kFree, kActFree},
    {S::kEditWaiting, E::kWarningDone, G::kIntervalZero, S::kDue, kActNothing},
    {S::kEditWaiting, E::kWarningDone, G::kInterval, S::kIdle, kActNothing},
    {S::kStopping, E::kWarningDone, G::kAlways, S::kStopping, kActNothing},

    {S::kLaunching, E::kRetryAsked, G::kAlways, S::kRetryPending, kActRecordRetry},
    {S::kRetired, E::kRetryAsked, G::kAlways, S::kFree, kActCloseRetry | kActFree},
    {S::kEditWaiting, E::kRetryAsked, G::kIntervalZero, S::kDue, kActCloseRetry},
    {S::kEditWaiting, E::kRetryAsked, G::kInterval, S::kIdle, kActCloseRetry},
    {S::kStopping, E::kRetryAsked, G::kAlways, S::kStopping, kActCloseRetry},

    {S::kRunning, E::kEnded, G::kAlways, S::kIdle, kActRecordEnd},
    {S::kRetired, E::kEnded, G::kAlways, S::kFree, kActRecordEnd | kActFree},
    {S::kEditWaiting, E::kEnded, G::kIntervalZero, S::kDue, kActRecordEnd},
    {S::kEditWaiting, E::kEnded, G::kInterval, S::kIdle, kActRecordEnd},
    {S::kStopping, E::kEnded, G::kAlways, S::kStopping,
     kActNothing},  // recorded when the stop took it

    // Only at the stop, which the worker may see before the scheduler does.
    {S::kLaunching, E::kNotStarted, G::kAlways, S::kStopping, kActCloseRetry},
    {S::kRetired, E::kNotStarted, G::kAlways, S::kStopping, kActCloseRetry},
    {S::kEditWaiting, E::kNotStarted, G::kAlways, S::kStopping, kActCloseRetry},
    {S::kStopping, E::kNotStarted, G::kAlways, S::kStopping, kActCloseRetry},
    {S::kLaunching, E::kSelfEnded, G::kAlways, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},
    {S::kRetired, E::kSelfEnded, G::kAlways, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},
    {S::kEditWaiting, E::kSelfEnded, G::kAlways, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},
    {S::kStopping, E::kSelfEnded, G::kAlways, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},

    // A new version.
    {S::kIdle, E::kRetired, G::kAlways, S::kFree, kActFree},
    {S::kDue, E::kRetired, G::kAlways, S::kFree, kActFree},
    {S::kRetryPending, E::kRetired, G::kAlways, S::kFree, kActCloseRetry | kActFree},
    {S::kLaunching, E::kRetired, G::kAlways, S::kRetired, kActNothing},
    {S::kRunning, E::kRetired, G::kAlways, S::kRetired, kActNothing},
    {S::kWarning, E::kRetired, G::kAlways, S::kRetired, kActNothing},
    {S::kEditWaiting, E::kRetired, G::kAlways, S::kRetired, kActNothing},

    {S::kIdle, E::kEdited, G::kIntervalZero, S::kDue, kActNothing},
    {S::kIdle, E::kEdited, G::kInterval, S::kIdle, kActNothing},
    {S::kDue, E::kEdited, G::kIntervalZero, S::kDue, kActNothing},
    {S::kDue, E::kEdited, G::kInterval, S::kIdle, kActNothing},
    {S::kRetryPending, E::kEdited, G::kIntervalZero, S::kDue, kActCloseRetry},
    {S::kRetryPending, E::kEdited, G::kInterval, S::kIdle, kActCloseRetry},
    {S::kLaunching, E::kEdited, G::kAlways, S::kEditWaiting, kActNothing},
    {S::kRunning, E::kEdited, G::kAlways, S::kEditWaiting, kActNothing},
    {S::kWarning, E::kEdited, G::kAlways, S::kEditWaiting, kActNothing},
    {S::kRetired, E::kEdited, G::kAlways, S::kEditWaiting, kActNothing},
    {S::kEditWaiting, E::kEdited, G::kAlways, S::kEditWaiting, kActNothing},

    {S::kRetired, E::kTakenUp, G::kRunLaunching, S::kLaunching, kActNothing},
    {S::kRetired, E::kTakenUp, G::kRunCreated, S::kRunning, kActNothing},
    {S::kRetired, E::kTakenUp, G::kRunFailed, S::kWarning, kActNothing},
    {S::kEditWaiting, E::kEditCancelled, G::kRunLaunching, S::kLaunching, kActNothing},
    {S::kEditWaiting, E::kEditCancelled, G::kRunCreated, S::kRunning, kActNothing},
    {S::kEditWaiting, E::kEditCancelled, G::kRunFailed, S::kWarning, kActNothing},

    // A run past its limit: its tree is ended once, its end seen as any other.
    {S::kRunning, E::kLimit, G::kAlways, S::kRunning, kActEndAtLimit},
    {S::kRetired, E::kLimit, G::kAlways, S::kRetired, kActEndAtLimit},
    {S::kEditWaiting, E::kLimit, G::kAlways, S::kEditWaiting, kActEndAtLimit},

    // The stop. A row still launching is waited for, then abandoned.
    {S::kFree, E::kStop, G::kAlways, S::kFree, kActNothing},
    {S::kIdle, E::kStop, G::kAlways, S::kIdle, kActNothing},
    {S::kDue, E::kStop, G::kAlways, S::kDue, kActNothing},
    {S::kRetryPending, E::kStop, G::kAlways, S::kFree, kActCloseRetry | kActFree},
    {S::kLaunching, E::kStop, G::kAlways, S::kStopping, kActNothing},
    {S::kRunning, E::kStop, G::kAlways, S::kStopping, kActTerminate},
    {S::kWarning, E::kStop, G::kAlways, S::kStopping, kActNothing},
    {S::kRetired, E::kStop, G::kAlways, S::kStopping, kActTerminate},
    {S::kEditWaiting, E::kStop, G::kAlways, S::kStopping, kActTerminate},
    {S::kStopping, E::kStop, G::kAlways, S::kStopping, kActNothing},
    // An abandoned creation has no child to tell of; a retry it made is closed.
    {S::kStopping, E::kAbandoned, G::kAlways, S::kStopping, kActCloseRetry | kActCountStopped},
};

constexpr int32_t kTransitionCount =
    static_cast<int32_t>(sizeof kTransitions / sizeof kTransitions[0]);
// Counted on the scheduler's thread alone.
uint32_t Visits[kTransitionCount];

bool Holds(RowGuard guard, const Row& row) {
    switch (guard) {
    case RowGuard::kAlways:
        return true;
    case RowGuard::kIntervalZero:
        return row.interval == 0;
    case RowGuard::kInterval:
        return row.interval != 0;
    case RowGuard::kRunLaunching:
        return row.run.seen == kProgressLaunching;
    case RowGuard::kRunCreated:
        return row.run.seen == kProgressCreated;
    case RowGuard::kRunFailed:
        return row.run.seen == kProgressFailed;
    }
    return false;
}

const Transition* FindTransition(const Row& row, RowEvent event) {
    for (int32_t i = 0; i < kTransitionCount; ++i) {
        const Transition& transition = kTransitions[i];
        if (transition.from != row.state || transition.event != event) continue;
        if (!Holds(transition.guard, row)) continue;
        ++Visits[i];
        return &transition;
    }
    return nullptr;
}

// Runs the stop ended, and events refused: counted on the scheduler's
// thread alone.
int32_t StoppedRuns;
int32_t RefusedEvents;

void RecordTermination(Row& row) {
    RowRun& run = row.run;
    ChildProcess& child = run.child;
    uint64_t ms = MonotonicMilliseconds() - run.createdMs;
    if (HasChildEnded(child)) {
        uint32_t exitCode = ChildExitCode(child);
        if (IsEndAtLimit(run, exitCode)) {
            JournalLimit(run.line, run.number, child.processId, exitCode, ms, run.limit,
                         ReadLocalTime());
            return;
        }
        // Ended by itself a moment ago: what it started is left alone, also
        // once the runner has ended.
        KeepJobProcessesAtClose(child.jobObject);
        JournalEnd(run.line, run.number, child.processId, exitCode, ms, ReadLocalTime());
        return;
    }
    if (run.endedAtLimit.load() != 0) {
        // Its limit's end is under way: so it is told, and not ended again.
        JournalLimit(run.line, run.number, child.processId, kLimitExitCode, ms, run.limit,
                     ReadLocalTime());
        return;
    }
    EndRunTree(child, kStoppedChildExitCode);
    JournalKill(run.line, run.number, child.processId, kStoppedChildExitCode, ms, ReadLocalTime());
    ++StoppedRuns;
}

void EndAtLimit(Row& row) {
    RowRun& run = row.run;
    // One that ended by itself as its limit came keeps what it started, and
    // its own end.
    if (HasChildEnded(run.child)) return;
    run.limit = row.limit;
    run.endedAtLimit.store(1);
    EndRunTree(run.child, kLimitExitCode);
}

// The next step of a run that the scheduler has not acted on: an end seen
// at once implies the creation before it, a warning down its failure.
int32_t NextStep(int32_t seen, int32_t progress) {
    if (seen == kProgressLaunching && progress == kProgressEnded) return kProgressCreated;
    if (seen == kProgressLaunching && progress == kProgressWarningDone) return kProgressFailed;
    return progress;
}

RowEvent EventOf(int32_t step) {
    switch (step) {
    case kProgressCreated:
        return RowEvent::kCreated;
    case kProgressEnded:
        return RowEvent::kEnded;
    case kProgressFailed:
        return RowEvent::kFailed;
    case kProgressWarningDone:
        return RowEvent::kWarningDone;
    case kProgressRetry:
        return RowEvent::kRetryAsked;
    case kProgressNotStarted:
        return RowEvent::kNotStarted;
    case kProgressSelfEnded:
        return RowEvent::kSelfEnded;
    default:
        return RowEvent::kAbandoned;
    }
}

}  // namespace

bool HoldsWorker(RowState state) {
    switch (state) {
    case RowState::kLaunching:
    case RowState::kRunning:
    case RowState::kWarning:
    case RowState::kRetired:
    case RowState::kEditWaiting:
    case RowState::kStopping:
        return true;
    default:
        return false;
    }
}

bool HasLiveChild(const RowRun& run) { return run.seen == kProgressCreated; }

bool Apply(int32_t index, RowEvent event) {
    Row& row = Rows[index];
    RowRun& run = row.run;
    const Transition* transition = FindTransition(row, event);
    if (transition == nullptr) {
        ++RefusedEvents;
        return false;
    }
    uint16_t actions = transition->actions;
    char programPath[kTextSize];
    char commandLine[kTextSize];
    if (actions & (kActRecordFail | kActRecordRetry | kActCloseRetry)) {
        SplitCommand(run.command, programPath, commandLine);
    }
    if (actions & kActRecordStart) {
        JournalStart(run.line, run.number, run.child.processId, run.command, run.createdAt);
    }
    if (actions & kActRecordFail)
        JournalFail(run.line, run.number, run.error, programPath, run.failedAt);
    if (actions & kActRecordRetry) {
        JournalRetry(run.line, run.number, run.error, programPath, run.failedAt);
    }
    // Open while a retry was told, or asked for and not told.
    if ((actions & kActCloseRetry) && (run.retried || run.seen == kProgressRetry)) {
        JournalFail(run.line, run.number, run.error, programPath, run.failedAt);
    }
    if (actions & kActRecordEnd) {
        uint64_t ms = run.endMs - run.createdMs;
        if (IsEndAtLimit(run, run.exitCode)) {
            JournalLimit(run.line, run.number, run.child.processId, run.exitCode, ms, run.limit,
                         run.endAt);
        } else {
            JournalEnd(run.line, run.number, run.child.processId, run.exitCode, ms, run.endAt);
        }
        // Only now, once its worker is done with them.
        ReleaseChild(&run.child);
    }
    if (actions & kActRecordKill) {
        JournalKill(run.line, run.number, run.child.processId, kStoppedChildExitCode,
                    MonotonicMilliseconds() - run.createdMs, ReadLocalTime());
    }
    if ((actions & kActTerminate) && HasLiveChild(run)) RecordTermination(row);
    if (actions & kActEndAtLimit) EndAtLimit(row);
    if (actions & kActCountStopped) ++StoppedRuns;
    if (actions & kActFree) {
        ClearRow(row);
        ClearJobWarning(index);
    }
    row.state = transition->to;
    return true;
}

void TakeReports(int32_t index) {
    Row& row = Rows[index];
    if (!HoldsWorker(row.state)) return;
    RowRun& run = row.run;
    int32_t progress = run.progress.load();
    while (run.seen != progress && HoldsWorker(row.state)) {
        int32_t step = NextStep(run.seen, progress);
        run.seen = step;
        Apply(index, EventOf(step));
    }
}

void ResetRowMachine() {
    StoppedRuns = 0;
    RefusedEvents = 0;
}

int32_t RunsEndedByStop() { return StoppedRuns; }

int32_t RefusedTransitions() { return RefusedEvents; }

int32_t TransitionCount() { return kTransitionCount; }
const Transition& TransitionAt(int32_t index) { return kTransitions[index]; }
uint32_t TransitionVisits(int32_t index) { return Visits[index]; }

const char* RowStateName(RowState state) {
    static const char* const kNames[kRowStates] = {
        "free",    "idle",          "due",     "launching",    "running",
        "warning", "retry pending", "retired", "edit waiting", "stopping"};
    return kNames[static_cast<int>(state)];
}

const char* RowEventName(RowEvent event) {
    static const char* const kNames[kRowEvents] = {
        "added",       "started",        "no worker",   "created",    "failed",   "warning done",
        "retry asked", "ended",          "not started", "self ended", "retired",  "edited",
        "taken up",    "edit cancelled", "limit",       "stop",       "abandoned"};
    return kNames[static_cast<int>(event)];
}

const char* RowGuardName(RowGuard guard) {
    static const char* const kNames[kRowGuards] = {"",          "interval 0", "interval",
                                                   "launching", "created",    "failed"};
    return kNames[static_cast<int>(guard)];
}
