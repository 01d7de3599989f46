#include "jobs/engine/transitions.h"

namespace {

using S = RowState;
using E = RowEvent;

// A state that holds a worker (launching, running, warning, and retired or
// edit-waiting while the run goes on) can't be freed or started again
// until the worker's last report.
constexpr Transition kTransitions[] = {
    // Starting.
    {S::kFree, E::kAdded, S::kDue, kActNothing},
    {S::kIdle, E::kStarted, S::kLaunching, kActNothing},
    {S::kDue, E::kStarted, S::kLaunching, kActNothing},
    {S::kRetryPending, E::kStarted, S::kLaunching, kActNothing},
    {S::kIdle, E::kNoWorker, S::kDue, kActNothing},
    {S::kDue, E::kNoWorker, S::kDue, kActNothing},
    {S::kRetryPending, E::kNoWorker, S::kRetryPending, kActNothing},

    // The worker's reports.
    {S::kLaunching, E::kCreated, S::kRunning, kActRecordStart},
    {S::kRetired, E::kCreated, S::kRetired, kActRecordStart},
    {S::kEditWaiting, E::kCreated, S::kEditWaiting, kActRecordStart},
    {S::kStopping, E::kCreated, S::kStopping, kActRecordStart | kActTerminate},

    {S::kLaunching, E::kFailed, S::kWarning, kActRecordFail},
    {S::kRetired, E::kFailed, S::kRetired, kActRecordFail},
    {S::kEditWaiting, E::kFailed, S::kEditWaiting, kActRecordFail},
    {S::kStopping, E::kFailed, S::kStopping, kActRecordFail},

    {S::kWarning, E::kWarningDone, S::kIdle, kActNothing},
    {S::kRetired, E::kWarningDone, S::kFree, kActFree},
    {S::kEditWaiting, E::kWarningDone, S::kIdle, kActLandEdit},
    {S::kStopping, E::kWarningDone, S::kStopping, kActNothing},

    {S::kLaunching, E::kRetryAsked, S::kRetryPending, kActRecordRetry},
    {S::kRetired, E::kRetryAsked, S::kFree, kActCloseRetry | kActFree},
    {S::kEditWaiting, E::kRetryAsked, S::kIdle, kActCloseRetry | kActLandEdit},
    {S::kStopping, E::kRetryAsked, S::kStopping, kActCloseRetry},

    {S::kRunning, E::kEnded, S::kIdle, kActRecordEnd},
    {S::kRetired, E::kEnded, S::kFree, kActRecordEnd | kActFree},
    {S::kEditWaiting, E::kEnded, S::kIdle, kActRecordEnd | kActLandEdit},
    {S::kStopping, E::kEnded, S::kStopping, kActNothing},  // recorded when the stop took it

    // Only at the stop, which the worker may see before the scheduler does.
    {S::kLaunching, E::kNotStarted, S::kStopping, kActCloseRetry},
    {S::kRetired, E::kNotStarted, S::kStopping, kActCloseRetry},
    {S::kEditWaiting, E::kNotStarted, S::kStopping, kActCloseRetry},
    {S::kStopping, E::kNotStarted, S::kStopping, kActCloseRetry},
    {S::kLaunching, E::kSelfEnded, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},
    {S::kRetired, E::kSelfEnded, S::kStopping, kActRecordStart | kActRecordKill | kActCountStopped},
    {S::kEditWaiting, E::kSelfEnded, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},
    {S::kStopping, E::kSelfEnded, S::kStopping,
     kActRecordStart | kActRecordKill | kActCountStopped},

    // A new version.
    {S::kIdle, E::kRetired, S::kFree, kActFree},
    {S::kDue, E::kRetired, S::kFree, kActFree},
    {S::kRetryPending, E::kRetired, S::kFree, kActCloseRetry | kActFree},
    {S::kLaunching, E::kRetired, S::kRetired, kActNothing},
    {S::kRunning, E::kRetired, S::kRetired, kActNothing},
    {S::kWarning, E::kRetired, S::kRetired, kActNothing},
    {S::kEditWaiting, E::kRetired, S::kRetired, kActNothing},

    {S::kIdle, E::kEdited, S::kIdle, kActLandEdit},
    {S::kDue, E::kEdited, S::kIdle, kActLandEdit},
    {S::kRetryPending, E::kEdited, S::kIdle, kActCloseRetry | kActLandEdit},
    {S::kLaunching, E::kEdited, S::kEditWaiting, kActNothing},
    {S::kRunning, E::kEdited, S::kEditWaiting, kActNothing},
    {S::kWarning, E::kEdited, S::kEditWaiting, kActNothing},
    {S::kRetired, E::kEdited, S::kEditWaiting, kActNothing},
    {S::kEditWaiting, E::kEdited, S::kEditWaiting, kActNothing},

    {S::kRetired, E::kTakenUp, S::kRunning, kActResumeRun},
    {S::kEditWaiting, E::kEditCancelled, S::kRunning, kActResumeRun},

    // A run past its limit: its tree is ended once, its end seen as any other.
    {S::kRunning, E::kLimit, S::kRunning, kActEndAtLimit},
    {S::kRetired, E::kLimit, S::kRetired, kActEndAtLimit},
    {S::kEditWaiting, E::kLimit, S::kEditWaiting, kActEndAtLimit},

    // The stop. A row still launching is waited for, then abandoned.
    {S::kFree, E::kStop, S::kFree, kActNothing},
    {S::kIdle, E::kStop, S::kIdle, kActNothing},
    {S::kDue, E::kStop, S::kDue, kActNothing},
    {S::kRetryPending, E::kStop, S::kFree, kActCloseRetry | kActFree},
    {S::kLaunching, E::kStop, S::kStopping, kActNothing},
    {S::kRunning, E::kStop, S::kStopping, kActTerminate},
    {S::kWarning, E::kStop, S::kStopping, kActNothing},
    {S::kRetired, E::kStop, S::kStopping, kActTerminate},
    {S::kEditWaiting, E::kStop, S::kStopping, kActTerminate},
    {S::kStopping, E::kStop, S::kStopping, kActNothing},
    // An abandoned creation has no child to tell of; a retry it made is closed.
    {S::kStopping, E::kAbandoned, S::kStopping, kActCloseRetry | kActCountStopped},
};

constexpr int32_t kTransitionCount =
    static_cast<int32_t>(sizeof kTransitions / sizeof kTransitions[0]);
// Counted on the scheduler's thread alone.
uint32_t Visits[kTransitionCount];

}  // namespace

const Transition* FindTransition(RowState from, RowEvent event) {
    for (int32_t i = 0; i < kTransitionCount; ++i) {
        const Transition& transition = kTransitions[i];
        if (transition.from != from || transition.event != event) continue;
        ++Visits[i];
        return &transition;
    }
    return nullptr;
}

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
