#include "jobs/engine/scheduler.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "jobs/config/config.h"
#include "jobs/config/config_reader.h"
#include "jobs/config/reload.h"
#include "jobs/engine/job_table.h"
#include "jobs/engine/launcher.h"
#include "jobs/engine/row_machine.h"
#include "jobs/report/journal.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

// How often the configuration file is read for a new version.
constexpr uint64_t kPollMilliseconds = 2000;
constexpr size_t kReloadTextSize = 640;
// How often the stop looks at creations still in progress while it waits
// for them.
constexpr uint32_t kCreationPollMilliseconds = 50;

ConfigLoad Load;
JobVersion Loaded;
JobInForce InForce[kMaxJobs];
ReloadPlan Plan;
// A worker for the row's run: a new attempt, or the retry of its last.
void StartRun(int32_t index) {
    Row& row = Rows[index];
    RowRun& run = row.run;
    bool retry = row.state == RowState::kRetryPending;
    if (!retry) run.number = NextRunNumber();
    run.retried = retry;
    run.line = row.line;
    std::memcpy(run.command, row.command, kTextSize);
    run.child = ChildProcess{};
    run.endedAtLimit.store(0);
    run.seen = kProgressLaunching;
    run.progress.store(kProgressLaunching);
    if (!StartThread(JobWorker, index)) {
        // No worker: tried again at the next tick.
        Apply(index, RowEvent::kNoWorker);
        return;
    }
    Apply(index, RowEvent::kStarted);
    row.idle = 0;
}

// A run that goes on beside the line its row holds: retired, or one an
// edit waits for. Only while there is one can a start make more runs of a
// command than lines hold it.
bool AnyRunApart() {
    for (const Row& row : Rows) {
        if (row.state == RowState::kRetired || row.state == RowState::kEditWaiting) return true;
    }
    return false;
}

// A run of the row's command starts only while fewer runs of it go on than
// lines of the version in force hold it: two lines of one command are two
// jobs, but a retired run, or one an edit waits for, still runs it.
bool IsLive(const Row& row) {
    return HoldsWorker(row.state) &&
           (row.run.seen == kProgressLaunching || row.run.seen == kProgressCreated);
}

bool HasRoomForRun(int32_t index) {
    const char* command = Rows[index].command;
    // Every other live run holds a line of its own command, and this row
    // one more: only a run apart can fill the room. Looked for first, so
    // that 1024 due jobs cost a tick little more than their states.
    bool apart = false;
    for (const Row& row : Rows) {
        if (row.state != RowState::kRetired && row.state != RowState::kEditWaiting) continue;
        if (IsLive(row) && SameCommand(row.run.command, command)) {
            apart = true;
            break;
        }
    }
    if (!apart) return true;
    int32_t lines = 0;
    int32_t going = 0;
    for (const Row& row : Rows) {
        if (row.state == RowState::kFree) continue;
        if (row.state != RowState::kRetired && SameCommand(row.command, command)) ++lines;
        if (IsLive(row) && SameCommand(row.run.command, command)) ++going;
    }
    return going < lines;
}

bool IsDue(const Row& row) {
    switch (row.state) {
    case RowState::kDue:
    case RowState::kRetryPending:
        return true;
    case RowState::kIdle:
        return row.interval != 0 && row.idle >= row.interval;
    default:
        return false;
    }
}

bool IsPastLimit(const Row& row, uint64_t awakeMs) {
    const RowRun& run = row.run;
    if (row.limit <= 0 || !HasLiveChild(run) || run.endedAtLimit.load() != 0) return false;
    // A creation told after the tick read its clock is younger than the tick.
    if (awakeMs < run.createdAwakeMs) return false;
    return awakeMs - run.createdAwakeMs >= static_cast<uint64_t>(row.limit) * 1000u;
}

void Tick() {
    CountTick();
    uint64_t awakeMs = AwakeMilliseconds();
    // No tick makes a run apart: known once, it spares the count of runs.
    bool apart = AnyRunApart();
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        Row& row = Rows[i];
        TakeReports(i);
        if (row.state == RowState::kFree) continue;
        if (IsPastLimit(row, awakeMs)) Apply(i, RowEvent::kLimit);
        // Once the stop is seen, no worker is started: it would only give up.
        // One that would run its command once too often waits its turn.
        if (IsDue(row) && StopFlag.load() == 0 && (!apart || HasRoomForRun(i))) StartRun(i);
        // Counted at interval 0 too: a save that gives the job an interval
        // counts its idle time so far towards it.
        if (row.state == RowState::kIdle && row.idle < INT32_MAX) ++row.idle;
    }
}

void JournalReloadLine(int32_t line, uint32_t pid, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void JournalReloadArguments(int32_t line, uint32_t pid, const char* format, va_list arguments) {
    char text[kReloadTextSize];
    std::vsnprintf(text, sizeof text, format, arguments);
    JournalReload(line, pid, text);
}

void JournalReloadLine(int32_t line, uint32_t pid, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    JournalReloadArguments(line, pid, format, arguments);
    va_end(arguments);
}

// One reload's records of changed jobs: so many, then one with the count
// of the rest, so that a version replacing every job can't flood the queue.
constexpr int32_t kChangeRecordsPerReload = 64;
int32_t ChangeRecordsTold;

void JournalChange(int32_t line, uint32_t pid, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void JournalChange(int32_t line, uint32_t pid, const char* format, ...) {
    if (ChangeRecordsTold++ >= kChangeRecordsPerReload) return;
    va_list arguments;
    va_start(arguments, format);
    JournalReloadArguments(line, pid, format, arguments);
    va_end(arguments);
}

void Retire(int32_t index) {
    Row& row = Rows[index];
    bool held = HoldsWorker(row.state);
    uint32_t pid = HasLiveChild(row.run) ? row.run.child.processId : 0;
    if (held) {
        // What runs is the run's own command: an edit held for it goes, so
        // that the same command put back takes this run up.
        std::memcpy(row.command, row.run.command, kTextSize);
        JournalChange(row.line, pid, texts::kReloadRetiredRunningFormat, row.command,
                      static_cast<unsigned long>(pid));
    } else {
        JournalChange(row.line, 0, texts::kReloadRetiredFormat, row.command);
    }
    Apply(index, RowEvent::kRetired);
}

void WriteJob(Row& row, const VersionJob& job) {
    std::memcpy(row.command, job.command, kTextSize);
    row.line = job.line;
    row.interval = job.interval;
    row.limit = job.limit;
}

void Add(int32_t index, const VersionJob& job) {
    Row& row = Rows[index];
    if (row.state == RowState::kRetired) {
        // Back while its retired run goes on: that run is this job's.
        uint32_t pid = HasLiveChild(row.run) ? row.run.child.processId : 0;
        WriteJob(row, job);
        row.idle = 0;
        Apply(index, RowEvent::kTakenUp);
        JournalChange(job.line, pid, texts::kReloadTakenUpFormat, job.command,
                      static_cast<unsigned long>(pid));
        return;
    }
    ClearRow(row);
    WriteJob(row, job);
    Apply(index, RowEvent::kAdded);
    JournalChange(job.line, 0, texts::kReloadAddedFormat, job.command);
    // Else due, and started at the first tick with room for it.
    if (!AnyRunApart() || HasRoomForRun(index)) StartRun(index);
}

void Edit(int32_t index, const VersionJob& job) {
    Row& row = Rows[index];
    char old[kTextSize];
    std::memcpy(old, row.command, kTextSize);
    int32_t oldInterval = row.interval;
    WriteJob(row, job);
    Apply(index, RowEvent::kEdited);
    if (oldInterval == job.interval) {
        JournalChange(job.line, 0, texts::kReloadEditedFormat, old, job.command);
    } else {
        JournalChange(job.line, 0, texts::kReloadEditedIntervalFormat, old, job.command,
                      static_cast<long>(job.interval), static_cast<long>(oldInterval));
    }
}

// The command the row's run runs is back: that run is the job's again, and
// the edit that waited for it goes.
void CancelEdit(int32_t index, const VersionJob& job) {
    Row& row = Rows[index];
    char pending[kTextSize];
    std::memcpy(pending, row.command, kTextSize);
    uint32_t pid = HasLiveChild(row.run) ? row.run.child.processId : 0;
    WriteJob(row, job);
    Apply(index, RowEvent::kEditCancelled);
    JournalChange(job.line, pid, texts::kReloadEditCancelledFormat, job.command,
                  static_cast<unsigned long>(pid), pending);
}

void ApplyPlan(const JobVersion& version, bool asked) {
    const int32_t* counts = Plan.counts;
    JournalReloadLine(0, 0, texts::kReloadAppliedFormat, asked ? texts::kReloadByParamChange : "",
                      static_cast<long>(counts[static_cast<int>(ReloadAction::kAdded)]),
                      static_cast<long>(counts[static_cast<int>(ReloadAction::kRetired)]),
                      static_cast<long>(counts[static_cast<int>(ReloadAction::kEdited)] +
                                        counts[static_cast<int>(ReloadAction::kEditCancelled)]),
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
        const VersionJob& job = version.jobs[change.newJob];
        Row& row = Rows[change.row];
        switch (change.action) {
        case ReloadAction::kUnchanged:
            // Its line may have moved, its program's spelling changed.
            WriteJob(row, job);
            break;
        case ReloadAction::kInterval: {
            // The whole field, so that a change of the limit alone reads as one.
            char now[kTextSize];
            char was[kTextSize];
            FormatIntervalField(job.interval, job.limit, now, sizeof now);
            FormatIntervalField(row.interval, row.limit, was, sizeof was);
            JournalChange(job.line, 0, texts::kReloadIntervalFormat, now, was, job.command);
            WriteJob(row, job);
            break;
        }
        case ReloadAction::kEdited:
            Edit(change.row, job);
            break;
        case ReloadAction::kAdded:
            Add(change.row, job);
            break;
        case ReloadAction::kEditCancelled:
            CancelEdit(change.row, job);
            break;
        case ReloadAction::kRetired:
            break;
        }
    }
    if (ChangeRecordsTold > kChangeRecordsPerReload) {
        JournalReloadLine(0, 0, texts::kReloadMoreChangesFormat,
                          static_cast<long>(ChangeRecordsTold - kChangeRecordsPerReload));
    }
}

void RejectVersion(const JobVersion& version) {
    char text[kReloadTextSize];
    if (Plan.verdict == ReloadVerdict::kFormatErrors) {
        char summary[kReloadTextSize / 2];
        ComposeFormatSummary(version.formatErrors, summary, sizeof summary);
        std::snprintf(text, sizeof text, texts::kReloadRejectedFormat, summary);
    } else {
        std::snprintf(text, sizeof text, texts::kReloadTooManyRowsFormat,
                      static_cast<long>(Plan.rowsNeeded), static_cast<long>(kMaxJobs));
    }
    RaiseReloadRejected(text);
    JournalReload(0, 0, text);
}

// A version the reader handed over: decided against the rows in force,
// then applied whole or rejected whole.
void TakeVersion() {
    const ReadVersion* read = TakeReadVersion();
    if (read == nullptr) return;
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        const Row& row = Rows[i];
        bool held = HoldsWorker(row.state);
        InForce[i] = JobInForce{row.state != RowState::kFree,
                                row.state == RowState::kRetired,
                                held,
                                row.interval,
                                row.line,
                                row.command,
                                row.limit,
                                held ? row.run.command : nullptr};
    }
    DecideReload(InForce, read->version, &Plan);
    if (Plan.verdict != ReloadVerdict::kApply) {
        // Told once per version, unless asked for; one that lacked rows is
        // decided again as runs end and free theirs.
        if (read->tellRejection) RejectVersion(read->version);
        ReturnReadVersion(Plan.verdict == ReloadVerdict::kTooManyRows
                              ? VersionVerdict::kRejectedForRows
                              : VersionVerdict::kRejected);
        return;
    }
    ApplyPlan(read->version, read->asked);
    Load.count = read->version.count;
    ReturnReadVersion(VersionVerdict::kApplied);
}

// Every run in progress ends at once. A creation still in progress is
// waited for, at most kCreationWaitMilliseconds (less at shutdown): its
// worker either tells of its child, ended here, or, seeing the stop, ends
// it itself while still suspended. One still not done is left to its
// worker, which ends it the same way whenever it returns. Every attempt
// still open gets its closing record.
void StopRows() {
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        TakeReports(i);
        Apply(i, RowEvent::kStop);
    }
    uint64_t startMs = MonotonicMilliseconds();
    uint32_t waitMs = StopCause.load() == kStopByShutdown ? kShutdownCreationWaitMilliseconds
                                                          : kCreationWaitMilliseconds;
    for (;;) {
        bool waiting = false;
        for (int32_t i = 0; i < kMaxJobs; ++i) {
            if (Rows[i].state != RowState::kStopping) continue;
            TakeReports(i);
            waiting = waiting || Rows[i].run.seen == kProgressLaunching;
        }
        if (!waiting || MonotonicMilliseconds() - startMs >= waitMs) break;
        SleepMilliseconds(kCreationPollMilliseconds);
    }
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        RowRun& run = Rows[i].run;
        if (Rows[i].state != RowState::kStopping || run.seen != kProgressLaunching) continue;
        int32_t launching = kProgressLaunching;
        if (run.progress.compare_exchange_strong(launching, kProgressAbandoned)) {
            run.seen = kProgressAbandoned;
            Apply(i, RowEvent::kAbandoned);
        } else {
            TakeReports(i);
        }
    }
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

void OnStopSignal(int) {
    StopCause.store(kStopBySignal);
    StopFlag.store(1);
}

uint32_t ConfigReadError() { return Load.readError; }

int RunScheduler(RunEnd* end) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    ResetRowMachine();

    int32_t count = LoadJobTable(&Load, &Loaded);
    JournalRunnerStart(Load);
    if (count == 0) {
        bool read = Load.fileFound && Load.readError == 0;
        JournalRunnerStop(read ? texts::kStopNoJobs : texts::kStopNoConfiguration, 0);
        if (end != nullptr) *end = read ? RunEnd::kNoJobs : RunEnd::kNoConfigFile;
        return 1;
    }
    if (!CaptureStartBlock()) JournalRunnerNote(texts::kEnvironmentTooLarge);

    for (int32_t i = 0; i < count; ++i) {
        ClearRow(Rows[i]);
        WriteJob(Rows[i], Loaded.jobs[i]);
        Apply(i, RowEvent::kAdded);
        if (StopFlag.load() == 0) StartRun(i);
    }
    for (int32_t i = 0; i < count; ++i) Rows[i].idle = 0;
    bool reading = StartConfigReader(Load.configHash);
    uint64_t lastAskMs = MonotonicMilliseconds();

    while (StopFlag.load() == 0) {
        SleepMilliseconds(kTickMilliseconds);
        RaiseHeldBackWarnings();
        Tick();
        // A stop asked during the sleep starts nothing new.
        if (StopFlag.load() != 0) continue;
        if (reading) TakeVersion();
        bool asked = ReloadRequest.load() != 0;
        uint64_t nowMs = MonotonicMilliseconds();
        if (!asked && nowMs - lastAskMs < kPollMilliseconds) continue;
        lastAskMs = nowMs;
        // A reader that could not be started is tried again at each poll.
        if (!reading) reading = StartConfigReader(Load.configHash);
        if (!reading) continue;
        // Only the scheduler clears it: one that came since is taken too.
        AskConfigRead(ReloadRequest.exchange(0) != 0);
    }
    if (reading) StopConfigReader();
    StopRows();
    JournalRunnerStop(StopText(), RunsEndedByStop());
    if (end != nullptr) *end = RunEnd::kStopped;
    return 0;
}
