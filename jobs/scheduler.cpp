#include "jobs/scheduler.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "jobs/command.h"
#include "jobs/config.h"
#include "jobs/job_table.h"
#include "jobs/journal.h"
#include "jobs/launcher.h"
#include "jobs/reload.h"
#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

constexpr uint32_t kTickMilliseconds = 1000;
// How often the configuration file is read for a new version.
constexpr uint64_t kPollMilliseconds = 2000;
constexpr size_t kReloadTextSize = 640;

JobTable Table;

// What the polls have seen of the file. A version is taken once the same
// bytes were read twice in a row: an editor's save in progress is not.
struct FileWatch {
    uint64_t lastPollMs;
    uint64_t appliedHash;
    bool hasCandidate;
    uint64_t candidateHash;
    bool hasRejected;  // told once; the same bytes again are not told again
    uint64_t rejectedHash;
    bool rejectedForRows;  // ...but decided again: rows free up
};
FileWatch Watch;

JobInForce InForce[kMaxJobs];
JobVersion Version;
ReloadPlan Plan;

void StartJob(JobEntry* row, int32_t index) {
    RunningMark[index].store(1);
    if (StartThread(JobWorker, index)) {
        row->startPending = false;
        return;
    }
    // No worker: leave the job idle and try again at the next tick.
    RunningMark[index].store(0);
    row->startPending = true;
}

bool IsDue(const JobEntry& row, int32_t index) {
    if (row.startPending || RetryRun[index] != 0) return true;
    return row.interval != 0 && row.ElapsedCounter >= row.interval;
}

// A retry that will never come closes its run with the failure it retried.
// Only while the row's mark is clear: no worker holds the retry then.
void CloseRetry(int32_t index) {
    // The mark first: while it is set, the worker may be writing the retry.
    if (IsJobRunning(index) || RetryRun[index] == 0) return;
    char programPath[kTextSize];
    char commandLine[kTextSize];
    SplitCommand(JobCommand[index], programPath, commandLine);
    JournalFail(JobLine[index], RetryRun[index], RetryError[index], programPath);
    RetryRun[index] = 0;
}

// All of a row's state anew, the shared slots included. Only once no
// worker uses the row: its mark is clear.
void FreeRow(int32_t index) {
    Table.rows[index] = JobEntry{};
    std::memset(JobCommand[index], 0, kTextSize);
    JobLine[index] = 0;
    ProcessRecord[index] = ChildProcess{};
    LaunchWarningReported[index] = false;
    RunInProgress[index] = RunInfo{};
    RetryRun[index] = 0;
}

// Once a row's run has ended (a retry of it included), what a reload held
// back takes effect: a retired row is freed, an edit is written.
void SettleRow(int32_t index) {
    JobEntry& row = Table.rows[index];
    if (!row.inUse || IsJobRunning(index)) return;
    if (row.retired) {
        CloseRetry(index);
        FreeRow(index);
        return;
    }
    if (!row.editWaiting || RetryRun[index] != 0) return;
    std::memcpy(JobCommand[index], row.waitingCommand, kTextSize);
    JobLine[index] = row.waitingLine;
    row.editWaiting = false;
    // Only now: a start before it would run the old command.
    if (row.runAfterEdit) row.startPending = true;
    row.runAfterEdit = false;
}

// A reload's command and line for a row: at once where no worker can be
// reading them, else once its run has ended.
void WriteRow(int32_t index, const VersionJob& job) {
    JobEntry& row = Table.rows[index];
    std::memcpy(row.waitingCommand, job.command, kTextSize);
    row.waitingLine = job.line;
    row.editWaiting = true;
    SettleRow(index);
}

void Tick() {
    // Often enough for a clock widened from 32 bits to see every wrap.
    MonotonicMilliseconds();
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        JobEntry& row = Table.rows[i];
        // Read once: a worker may clear the mark at any moment, and a row
        // settled as running must not be started as idle in this pass.
        bool idle = !IsJobRunning(i);
        if (idle) SettleRow(i);
        if (!row.inUse || row.retired) continue;
        // Once the stop is seen, no worker is started: it would only give up.
        if (idle && IsDue(row, i) && StopFlag.load() == 0) {
            StartJob(&row, i);
            if (!row.startPending) row.ElapsedCounter = 0;
        }
        if (!IsJobRunning(i) && row.ElapsedCounter < INT32_MAX) ++row.ElapsedCounter;
        if (row.interval == 0) row.ElapsedCounter = 0;
    }
}

// The pid of a row's run in progress, 0 while it has no child.
uint32_t RunningPid(int32_t index) { return ChildPid[index].load(); }

void Tell(int32_t line, uint32_t pid, const char* format, ...) __attribute__((format(printf, 3, 4)));

void TellArguments(int32_t line, uint32_t pid, const char* format, va_list arguments) {
    char text[kReloadTextSize];
    std::vsnprintf(text, sizeof text, format, arguments);
    JournalReload(line, pid, text);
}

void Tell(int32_t line, uint32_t pid, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    TellArguments(line, pid, format, arguments);
    va_end(arguments);
}

// One reload's records of changed jobs: so many, then one with the count
// of the rest, so that a version replacing every job can't flood the queue.
constexpr int32_t kChangeRecordsPerReload = 64;
int32_t ChangeRecordsTold;

void TellChange(int32_t line, uint32_t pid, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void TellChange(int32_t line, uint32_t pid, const char* format, ...) {
    if (ChangeRecordsTold++ >= kChangeRecordsPerReload) return;
    va_list arguments;
    va_start(arguments, format);
    TellArguments(line, pid, format, arguments);
    va_end(arguments);
}

void Retire(int32_t index) {
    const JobEntry& row = Table.rows[index];
    const char* command = row.editWaiting ? row.waitingCommand : JobCommand[index];
    int32_t line = row.editWaiting ? row.waitingLine : JobLine[index];
    uint32_t pid = RunningPid(index);
    if (IsJobRunning(index)) {
        TellChange(line, pid, texts::kReloadRetiredRunningFormat, command, static_cast<unsigned long>(pid));
        // What runs is the command in the shared slot: an edit held for it
        // goes, so that the same command put back takes this run up.
        JobEntry& retired = Table.rows[index];
        retired.retired = true;
        retired.editWaiting = retired.runAfterEdit = retired.startPending = false;
        return;
    }
    TellChange(line, 0, texts::kReloadRetiredFormat, command);
    CloseRetry(index);
    FreeRow(index);
}

void StartJob(JobEntry* row, int32_t index);

void Add(int32_t index, const VersionJob& job) {
    JobEntry& row = Table.rows[index];
    if (row.inUse && IsJobRunning(index)) {
        // Back while its retired run goes on: that run is this job's.
        uint32_t pid = RunningPid(index);
        row.retired = false;
        row.interval = job.interval;
        row.ElapsedCounter = 0;
        WriteRow(index, job);
        TellChange(job.line, pid, texts::kReloadTakenUpFormat, job.command,
             static_cast<unsigned long>(pid));
        return;
    }
    FreeRow(index);
    row.inUse = true;
    row.interval = job.interval;
    std::memcpy(JobCommand[index], job.command, kTextSize);
    JobLine[index] = job.line;
    TellChange(job.line, 0, texts::kReloadAddedFormat, job.command);
    StartJob(&row, index);
}

void Edit(int32_t index, const VersionJob& job) {
    JobEntry& row = Table.rows[index];
    if (row.retired) {
        // Back as an edit while its retired run goes on: it waits for that run.
        row.retired = false;
        row.ElapsedCounter = 0;
    }
    const char* command = row.editWaiting ? row.waitingCommand : JobCommand[index];
    char old[kTextSize];
    std::memcpy(old, command, kTextSize);
    int32_t oldInterval = row.interval;
    row.interval = job.interval;
    // Waits its interval like any other idle job; one of interval 0 would
    // never run its new command, so it runs it once, when the edit lands.
    row.runAfterEdit = job.interval == 0;
    WriteRow(index, job);
    if (oldInterval == job.interval) {
        TellChange(job.line, 0, texts::kReloadEditedFormat, old, job.command);
    } else {
        TellChange(job.line, 0, texts::kReloadEditedIntervalFormat, old, job.command,
             static_cast<long>(job.interval), static_cast<long>(oldInterval));
    }
}

void ApplyPlan(bool asked) {
    const int32_t* counts = Plan.counts;
    Tell(0, 0, texts::kReloadAppliedFormat, asked ? texts::kReloadByParamChange : "",
         static_cast<long>(counts[static_cast<int>(ReloadAction::kAdded)]),
         static_cast<long>(counts[static_cast<int>(ReloadAction::kRetired)]),
         static_cast<long>(counts[static_cast<int>(ReloadAction::kEdited)]),
         static_cast<long>(counts[static_cast<int>(ReloadAction::kInterval)]),
         static_cast<long>(counts[static_cast<int>(ReloadAction::kUnchanged)]));
    ChangeRecordsTold = 0;
    // Retired first: a row they free may be the one a new job takes.
    for (int32_t i = 0; i < Plan.changeCount; ++i) {
        const ReloadChange& change = Plan.changes[i];
        if (change.action == ReloadAction::kRetired) Retire(change.row);
    }
    for (int32_t i = 0; i < Plan.changeCount; ++i) {
        const ReloadChange& change = Plan.changes[i];
        if (change.action == ReloadAction::kRetired) continue;
        const VersionJob& job = Version.jobs[change.newJob];
        JobEntry& row = Table.rows[change.row];
        switch (change.action) {
        case ReloadAction::kUnchanged:
            WriteRow(change.row, job);
            break;
        case ReloadAction::kInterval:
            TellChange(job.line, 0, texts::kReloadIntervalFormat, static_cast<long>(job.interval),
                 static_cast<long>(row.interval), job.command);
            row.interval = job.interval;
            WriteRow(change.row, job);
            break;
        case ReloadAction::kEdited:
            Edit(change.row, job);
            break;
        case ReloadAction::kAdded:
            Add(change.row, job);
            break;
        case ReloadAction::kRetired:
            break;
        }
    }
    if (ChangeRecordsTold > kChangeRecordsPerReload) {
        Tell(0, 0, texts::kReloadMoreChangesFormat,
             static_cast<long>(ChangeRecordsTold - kChangeRecordsPerReload));
    }
    Table.count = Version.count;
}

void RejectVersion() {
    char text[kReloadTextSize];
    if (Plan.verdict == ReloadVerdict::kFormatErrors) {
        char summary[kReloadTextSize / 2];
        ComposeFormatSummary(Version.formatErrors, summary, sizeof summary);
        std::snprintf(text, sizeof text, texts::kReloadRejectedFormat, summary);
    } else {
        std::snprintf(text, sizeof text, texts::kReloadTooManyRowsFormat,
                      static_cast<long>(Plan.rowsNeeded), static_cast<long>(kMaxJobs));
    }
    RaiseReloadRejected(text);
    JournalReload(0, 0, text);
}

void TakeVersion(const char* bytes, size_t length, uint64_t hash, bool asked) {
    ParseJobVersion(bytes, length, &Version);
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        const JobEntry& row = Table.rows[i];
        InForce[i] = JobInForce{row.inUse, row.retired, IsJobRunning(i), row.interval,
                                row.editWaiting ? row.waitingLine : JobLine[i],
                                row.editWaiting ? row.waitingCommand : JobCommand[i]};
    }
    if (Version.count == 0 && Version.formatErrors.count == 0) {
        // No job at all (a mark, blank lines): as an empty file, not ready.
        Watch.hasCandidate = false;
        if (asked) JournalReload(0, 0, texts::kReloadEmpty);
        return;
    }
    DecideReload(InForce, Version, &Plan);
    if (Plan.verdict != ReloadVerdict::kApply) {
        // Told once per version, unless asked for; one that lacked rows is
        // decided again as runs end and free theirs.
        if (asked || !Watch.hasRejected || Watch.rejectedHash != hash) RejectVersion();
        Watch.hasRejected = true;
        Watch.rejectedHash = hash;
        Watch.rejectedForRows = Plan.verdict == ReloadVerdict::kTooManyRows;
        return;
    }
    ApplyPlan(asked);
    Watch.appliedHash = hash;
    Watch.hasCandidate = false;
}

// Between ticks, on the scheduler's thread: reads the file every
// kPollMilliseconds, or at once when the service manager asked, and never
// waits for anyone holding it.
void PollConfig() {
    bool asked = ReloadRequest.exchange(0) != 0;
    uint64_t nowMs = MonotonicMilliseconds();
    if (!asked && nowMs - Watch.lastPollMs < kPollMilliseconds) return;
    Watch.lastPollMs = nowMs;
    const char* bytes = nullptr;
    size_t length = 0;
    uint32_t error = 0;
    if (!ReadConfigOnce(&bytes, &length, &error)) {
        Watch.hasCandidate = false;
        if (asked) {
            char message[kTextSize];
            DescribeSystemError(error, message, sizeof message);
            Tell(0, 0, texts::kReloadUnreadableFormat, static_cast<unsigned long>(error), message);
        }
        return;
    }
    if (length == 0) {
        Watch.hasCandidate = false;
        if (asked) JournalReload(0, 0, texts::kReloadEmpty);
        return;
    }
    uint64_t hash = HashConfigBytes(bytes, length);
    bool known = hash == Watch.appliedHash ||
                 (Watch.hasRejected && hash == Watch.rejectedHash && !Watch.rejectedForRows);
    if (known) {
        // Two reads alike in a row means two in a row, nothing between.
        Watch.hasCandidate = false;
        if (asked) JournalReload(0, 0, texts::kReloadNothingNew);
        return;
    }
    bool steady = Watch.hasCandidate && Watch.candidateHash == hash;
    Watch.hasCandidate = true;
    Watch.candidateHash = hash;
    if (steady || asked) TakeVersion(bytes, length, hash, asked);
}

// How long the stop waits for creations still in progress, and how often
// it looks at them meanwhile.
constexpr uint64_t kCreationWaitMilliseconds = 5000;
constexpr uint32_t kCreationPollMilliseconds = 50;

// Takes a published run from its worker and ends it; a run whose child has
// ended already leaves what it started alone. Each run taken gets its
// closing record here. Returns whether the stop ended it.
bool SweepRun(int32_t index) {
    int32_t running = kPhaseRunning;
    if (!RunPhase[index].compare_exchange_strong(running, kPhaseSwept)) return false;
    const ChildProcess& child = ProcessRecord[index];
    const RunInfo& run = RunInProgress[index];
    uint64_t ms = MonotonicMilliseconds() - run.startMs;
    if (HasChildEnded(child)) {
        JournalEnd(run.line, run.run, child.processId, ChildExitCode(child), ms);
        return false;
    }
    if (child.jobObject != nullptr) {
        TerminateRunJobObject(child.jobObject, kStoppedChildExitCode);
    } else {
        TerminateChild(child, kStoppedChildExitCode);
    }
    JournalKill(run.line, run.run, child.processId, kStoppedChildExitCode, ms);
    return true;
}

// Every run in progress ends at once. A creation still in progress is
// waited for, at most kCreationWaitMilliseconds: its worker publishes the
// run, to be ended here, or, seeing the stop, ends its child itself while
// still suspended. One still not done is left to its worker, which ends it
// the same way whenever it returns. Returns how many runs the stop ended,
// those still being created included.
int32_t TerminateRunningChildren() {
    static bool waiting[kMaxJobs];
    int32_t ended = 0;
    int32_t pending = 0;
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        int32_t phase = RunPhase[i].load();
        waiting[i] = phase == kPhaseCreating;
        if (waiting[i]) {
            ++pending;
        } else if (phase == kPhaseSelfEnded) {
            ++ended;  // its worker saw the stop first and ended it itself
        }
        if (SweepRun(i)) ++ended;
    }
    uint64_t startMs = MonotonicMilliseconds();
    for (;;) {
        for (int32_t i = 0; i < kMaxJobs && pending > 0; ++i) {
            if (!waiting[i] || RunPhase[i].load() == kPhaseCreating) continue;
            waiting[i] = false;
            --pending;
            int32_t phase = RunPhase[i].load();
            if (SweepRun(i) || phase == kPhaseSelfEnded) ++ended;
        }
        if (pending == 0 || MonotonicMilliseconds() - startMs >= kCreationWaitMilliseconds) break;
        SleepMilliseconds(kCreationPollMilliseconds);
    }
    for (int32_t i = 0; i < kMaxJobs && pending > 0; ++i) {
        if (!waiting[i]) continue;
        int32_t creating = kPhaseCreating;
        if (RunPhase[i].compare_exchange_strong(creating, kPhaseAbandoned)) {
            ++ended;
            continue;
        }
        int32_t phase = RunPhase[i].load();
        if (SweepRun(i) || phase == kPhaseSelfEnded) ++ended;
    }
    return ended;
}

const char* StopText() {
    switch (StopCause.load()) {
    case kStopByService:
        return texts::kStopByService;
    case kStopByShutdown:
        return texts::kStopByShutdown;
    default:
        return texts::kStopBySignal;
    }
}

}  // namespace

bool IsJobRunning(int32_t index) { return RunningMark[index].load() == 1; }

void OnStopSignal(int) {
    StopCause.store(kStopBySignal);
    StopFlag.store(1);
}

uint32_t ConfigReadError() { return Table.readError; }

int RunScheduler(RunEnd* end) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    int32_t count = LoadJobTable(&Table);
    JournalRunnerStart(Table);
    if (count == 0) {
        bool read = Table.fileFound && Table.readError == 0;
        JournalRunnerStop(read ? texts::kStopNoJobs : texts::kStopNoConfiguration, 0);
        if (end != nullptr) *end = read ? RunEnd::kNoJobs : RunEnd::kNoConfigFile;
        return 1;
    }
    CaptureStartPath();

    if (StopFlag.load() == 0) {
        for (int32_t i = 0; i < Table.count; ++i) {
            if (!IsJobRunning(i)) StartJob(&Table.rows[i], i);
        }
    }
    for (int32_t i = 0; i < Table.count; ++i) Table.rows[i].ElapsedCounter = 0;
    Watch = FileWatch{MonotonicMilliseconds(), Table.configHash, false, 0, false, 0, false};

    while (StopFlag.load() == 0) {
        SleepMilliseconds(kTickMilliseconds);
        ReportHeldBackWarnings();
        Tick();
        // A stop asked during the sleep starts nothing new.
        if (StopFlag.load() == 0) PollConfig();
    }
    for (int32_t i = 0; i < kMaxJobs; ++i) CloseRetry(i);
    int32_t ended = TerminateRunningChildren();
    JournalRunnerStop(StopText(), ended);
    if (end != nullptr) *end = RunEnd::kStopped;
    return 0;
}
