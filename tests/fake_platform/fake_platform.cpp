#include "tests/fake_platform/fake_platform.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "jobs/engine/job_table.h"
#include "jobs/engine/launcher.h"
#include "jobs/report/texts.h"
#include "platform/admin_report.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/journal_file.h"
#include "platform/process.h"
#include "platform/security.h"
#include "platform/standard_error.h"
#include "platform/system.h"
#include "platform/system32_path.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace {

struct Blocked {
    int64_t untilMs;
    bool released;
};

struct FakeJobObject {
    bool open;
    int64_t launch;  // -1 while it holds no child
    bool killOnClose;
};

// A worker's run: its row, the command it was given, and whether it is
// over: its thread done, or its creation failed, so that no process of it
// runs.
struct WorkerRun {
    int32_t row;
    std::string command;
    bool done;
};

struct World {
    std::mutex mutex;
    std::condition_variable changed;
    fake::Options options;
    int64_t nowMs = 0;
    int active = 0;  // workers neither blocked nor done
    std::vector<std::thread> workers;
    std::vector<WorkerRun> workerRuns;
    std::vector<Blocked*> blocked;
    std::vector<fake::Launch> launches;
    std::vector<bool> handleOpen;  // by launch
    std::vector<FakeJobObject> jobObjects;
    std::deque<Blocked*> waitingWorker;  // by launch; a deque keeps addresses
    std::vector<std::string> warnings;
    std::vector<fake::Event> events;
    std::vector<std::string> consoleMessages;
    std::vector<std::string> handleErrors;
    std::vector<std::string> directories;
    std::string currentDirectory;
    int fileReads = 0;
    std::map<std::string, std::string> environment;
    int transientFailuresLeft = 0;
    // The journal's writer: its wait, a wake-up not yet taken, and its word
    // that the queue is written out.
    Blocked* journalWaiter = nullptr;
    Blocked* readerWaiter = nullptr;  // the configuration reader's wait
    bool readerWake = false;
    bool journalWake = false;
    bool journalDrained = false;
    bool warningsWritten = false;
    bool standardErrorGone = false;
    bool finishing = false;    // the case is over: nothing blocks any more
    bool runnerEnded = false;  // the runner's process is gone: its threads do nothing
    int64_t sleptMs = 0;       // the machine's time asleep, on the monotonic clock only
    bool diskFull = false;
    bool diskHung = false;
    std::vector<int> journalFiles;  // descriptors by handle - 1; -1 when closed
    std::vector<std::string> journalFilePaths;
    std::vector<bool> journalFileWrites;  // opened for writing
} world;

std::mutex reportLock;
thread_local bool onWorker = false;

// Called with the world locked; returns with it locked.
void BlockUntil(std::unique_lock<std::mutex>& lock, int64_t untilMs,
                Blocked** registration = nullptr) {
    // A worker that blocks only after the case's end would never be let go.
    if (world.finishing) return;
    Blocked self{untilMs, false};
    world.blocked.push_back(&self);
    if (registration != nullptr) *registration = &self;
    --world.active;
    world.changed.notify_all();
    world.changed.wait(lock, [&] { return self.released; });
    if (registration != nullptr) *registration = nullptr;
}

void Release(Blocked* waiter) {
    waiter->released = true;
    ++world.active;
    world.blocked.erase(std::find(world.blocked.begin(), world.blocked.end(), waiter));
}

// A thread of a runner that has ended: it no longer exists, so it acts on
// nothing.
bool IsGone() { return world.runnerEnded && onWorker; }

// Ends a child alone, as a terminate of its process would.
void EndChildAlone(size_t index, uint32_t exitCode) {
    fake::Launch& launch = world.launches[index];
    if (launch.ended || launch.terminated) return;
    launch.terminated = true;
    launch.exitCode = exitCode;
    launch.endMs = world.nowMs;
    if (world.waitingWorker[index] != nullptr) {
        Release(world.waitingWorker[index]);
        world.changed.notify_all();
    }
}

// Ends a child, and what it started, as a terminate of its job would.
void EndLaunch(int64_t index, uint32_t exitCode) {
    fake::Launch& launch = world.launches[index];
    if (launch.hasDescendant && !launch.descendantTerminated) {
        launch.descendantTerminated = true;
        launch.descendantExitCode = exitCode;
    }
    EndChildAlone(static_cast<size_t>(index), exitCode);
}

// The fake's ANSI code page to UTF-16 and back: Latin-1, and its one
// double-byte character. What has no ANSI form comes back as '?'.
std::u16string Utf16Of(const std::string& ansi) {
    std::u16string wide;
    for (size_t i = 0; i < ansi.size(); ++i) {
        if (ansi.compare(i, 2, fake::kDoubleByteForm) == 0) {
            wide += static_cast<char16_t>(fake::kDoubleByteCharacter);
            ++i;
        } else {
            wide += static_cast<char16_t>(static_cast<unsigned char>(ansi[i]));
        }
    }
    return wide;
}

std::string AnsiOf(const std::u16string& wide) {
    std::string ansi;
    for (char16_t unit : wide) {
        if (unit == fake::kDoubleByteCharacter) {
            ansi += fake::kDoubleByteForm;
        } else {
            ansi += unit <= 0xFF && unit != 0x81 ? static_cast<char>(unit) : '?';
        }
    }
    return ansi;
}

size_t LaunchOf(const ChildProcess& child) {
    return reinterpret_cast<uintptr_t>(child.process) - 1;
}

void JoinWorkers() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> guard(world.mutex);
        workers.swap(world.workers);
    }
    for (auto& worker : workers) worker.join();
}

}  // namespace

namespace fake {

void Reset(const Options& options) {
    Finish();
    std::lock_guard<std::mutex> guard(world.mutex);
    world.options = options;
    world.nowMs = 0;
    world.sleptMs = 0;
    world.runnerEnded = false;
    StopCause.store(0);
    world.active = 0;
    world.launches.clear();
    world.workerRuns.clear();
    world.handleOpen.clear();
    world.jobObjects.clear();
    world.waitingWorker.clear();
    world.warnings.clear();
    world.events.clear();
    world.consoleMessages.clear();
    world.handleErrors.clear();
    world.directories.clear();
    world.currentDirectory = options.startDirectory;
    world.fileReads = 0;
    world.environment.clear();
    world.transientFailuresLeft = options.transientFailures;
    world.journalWaiter = nullptr;
    world.readerWaiter = nullptr;
    world.readerWake = false;
    world.journalWake = false;
    world.journalDrained = false;
    world.warningsWritten = false;
    world.standardErrorGone = false;
    world.diskFull = false;
    world.diskHung = false;
    world.journalFilePaths.clear();
    world.journalFileWrites.clear();
    for (int fd : world.journalFiles) {
        if (fd >= 0) close(fd);
    }
    world.journalFiles.clear();
    if (options.hasPath) world.environment["PATH"] = options.path;
    for (const auto& [name, value] : options.environment) world.environment[name] = value;
}

void Finish() {
    {
        std::unique_lock<std::mutex> lock(world.mutex);
        // What the runner's threads were doing as it ended, they finish: a
        // sanitizer's slowness must not change what a case sees.
        world.changed.wait(lock, [] { return world.active == 0; });
        world.runnerEnded = true;
        for (size_t i = 0; i < world.jobObjects.size(); ++i) {
            FakeJobObject& job = world.jobObjects[i];
            if (!job.open) continue;
            job.open = false;
            if (job.killOnClose && job.launch >= 0) EndLaunch(job.launch, kJobClosedExitCode);
        }
        world.finishing = true;
        while (!world.blocked.empty()) Release(world.blocked.front());
        world.changed.notify_all();
    }
    JoinWorkers();
    std::lock_guard<std::mutex> guard(world.mutex);
    world.finishing = false;
}

int64_t NowMs() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.nowMs;
}

std::vector<Launch> Launches() {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::vector<Launch> launches = world.launches;
    for (size_t i = 0; i < launches.size(); ++i) launches[i].handlesOpen = world.handleOpen[i];
    return launches;
}

std::vector<std::string> Warnings() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.warnings;
}

std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.events;
}

std::vector<std::string> ConsoleMessages() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.consoleMessages;
}

std::vector<std::string> HandleErrors() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.handleErrors;
}

int FileReads() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.fileReads;
}

std::vector<std::string> ChangedDirectories() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.directories;
}

}  // namespace fake

void SleepMilliseconds(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(world.mutex);
    world.changed.wait(lock, [] { return world.active == 0; });
    world.nowMs += milliseconds;
    const fake::Options& o = world.options;
    if (o.machineSleepsAtMs >= 0 && world.nowMs - milliseconds < o.machineSleepsAtMs &&
        world.nowMs >= o.machineSleepsAtMs) {
        world.sleptMs += o.machineSleepMs;
    }
    if (o.diskFullFromMs >= 0 && world.nowMs >= o.diskFullFromMs) {
        world.diskFull = o.diskFullUntilMs < 0 || world.nowMs < o.diskFullUntilMs;
    }
    if (o.journalDeletedAtMs >= 0 && world.nowMs - milliseconds < o.journalDeletedAtMs &&
        world.nowMs >= o.journalDeletedAtMs) {
        unlink((o.configDirectory + "/cycle_launch.foreground.log").c_str());
    }
    if (world.options.stopAtMs >= 0 && world.nowMs >= world.options.stopAtMs) {
        StopCause.store(world.options.stopCause);
        StopFlag.store(1);
    }
    int64_t fromMs = world.nowMs - milliseconds;
    for (const auto& [atMs, bytes] : o.configSaves) {
        if (atMs <= fromMs || atMs > world.nowMs) continue;
        std::string path = o.configDirectory + "/cycle_launch.txt";
        if (bytes == fake::kDeleted) {
            unlink(path.c_str());
            continue;
        }
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    for (int64_t atMs : o.reloadRequestsAtMs) {
        if (atMs > fromMs && atMs <= world.nowMs) ReloadRequest.store(1);
    }
    std::vector<Blocked*> due;
    for (Blocked* waiter : world.blocked) {
        if (waiter->untilMs <= world.nowMs) due.push_back(waiter);
    }
    for (Blocked* waiter : due) Release(waiter);
    world.changed.notify_all();
    world.changed.wait(lock, [] { return world.active == 0; });
}

uint64_t MonotonicMilliseconds() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return static_cast<uint64_t>(world.nowMs + world.sleptMs);
}

bool ReadAwakeMilliseconds(uint64_t* ms) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (!world.options.awakeTimeKnown) return false;
    *ms = static_cast<uint64_t>(world.nowMs);
    return true;
}

// 2026-12-10T12:00:00.000 local time at the start of every case.
LocalTime ReadLocalTime() {
    std::lock_guard<std::mutex> guard(world.mutex);
    int64_t ms = world.nowMs;
    int64_t seconds = ms / 1000;
    int32_t hour = static_cast<int32_t>(12 + seconds / 3600);
    return LocalTime{2026,
                     12,
                     10 + hour / 24,
                     hour % 24,
                     static_cast<int32_t>(seconds / 60 % 60),
                     static_cast<int32_t>(seconds % 60),
                     static_cast<int32_t>(ms % 1000),
                     world.options.utcOffsetMinutes};
}

void ShowWarningBox(const char*, const char* text) {
    std::unique_lock<std::mutex> lock(world.mutex);
    world.warnings.push_back(text);
    if (!onWorker) {
        if (world.options.stopOnLoaderWarning) StopFlag.store(1);
        return;
    }
    BlockUntil(lock, world.nowMs + 1);
}

// PATH as the child sees it: from its own block, else from ours.
std::string PathOf(const uint16_t* environment) {
    if (environment == nullptr) {
        return world.environment.count("PATH") ? world.environment["PATH"] : "";
    }
    for (const uint16_t* entry = environment; *entry != 0;) {
        std::u16string text;
        while (*entry != 0) text += static_cast<char16_t>(*entry++);
        ++entry;
        std::string ansi = AnsiOf(text);
        if (strncasecmp(ansi.c_str(), "PATH=", 5) == 0) return ansi.substr(5);
    }
    return "";
}

bool CreateChild(const char* programPath, char* commandLine, const char* workingDirectory,
                 const uint16_t* environment, bool suspended, void* jobObject, ChildProcess* child,
                 uint32_t* error) {
    std::unique_lock<std::mutex> guard(world.mutex);
    // A creation that hangs, as one of a program on a server that is off.
    for (const auto& [program, ms] : world.options.slowCreations) {
        if (program == programPath) BlockUntil(guard, world.nowMs + ms);
    }
    *child = ChildProcess{};
    const auto& missing = world.options.missingPrograms;
    const fake::Options& o = world.options;
    bool stillMissing = o.missingUntilMs < 0 || world.nowMs < o.missingUntilMs ||
                        (o.missingAgainFromMs >= 0 && world.nowMs >= o.missingAgainFromMs);
    bool exists =
        programPath[0] != '\0' &&
        (!stillMissing || std::find(missing.begin(), missing.end(), programPath) == missing.end());
    int32_t job = -1;
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        if (child == &Rows[i].run.child) job = i;
    }
    world.launches.push_back(fake::Launch{
        world.nowMs, job, programPath, commandLine, workingDirectory ? workingDirectory : "",
        PathOf(environment), exists, false, false, 0, -1, exists && suspended, false,
        exists && world.options.childrenStartDescendants, false, 0});
    world.handleOpen.push_back(exists);
    world.waitingWorker.push_back(nullptr);
    auto runFailed = [job] {
        for (WorkerRun& run : world.workerRuns) {
            if (run.row == job) run.done = true;
        }
    };
    if (!exists) {
        runFailed();
        *error = kErrorFileNotFound;
        return false;
    }
    if (world.transientFailuresLeft > 0 && world.nowMs >= world.options.transientFailuresFromMs) {
        --world.transientFailuresLeft;
        world.launches.back().created = false;
        world.handleOpen.back() = false;
        runFailed();
        *error = kErrorInternal;
        return false;
    }
    if (world.options.stopAt == fake::StopPoint::kChildBeingCreated) StopFlag.store(1);
    uintptr_t id = world.launches.size();
    if (jobObject != nullptr && o.jobListAtCreation && !o.jobObjectsRefused) {
        FakeJobObject& job = world.jobObjects[reinterpret_cast<uintptr_t>(jobObject) - 1];
        job.launch = static_cast<int64_t>(id - 1);
        world.launches.back().inJobObject = true;
        // Its job's handle closed with the runner as it was being created.
        if (!job.open && job.killOnClose) EndLaunch(job.launch, fake::kJobClosedExitCode);
        child->jobObject = jobObject;
    }
    // The creation is done, but the thread that asked for it is gone.
    if (IsGone()) {
        *child = ChildProcess{};
        return false;
    }
    child->process = reinterpret_cast<void*>(id);
    child->thread = reinterpret_cast<void*>(id);
    child->processId = static_cast<uint32_t>(id);
    return true;
}

void WaitForChild(const ChildProcess& child) {
    std::unique_lock<std::mutex> lock(world.mutex);
    if (IsGone()) return;
    if (world.options.stopAt == fake::StopPoint::kChildCreated) StopFlag.store(1);
    size_t index = LaunchOf(child);
    if (world.launches[index].suspended)
        world.handleErrors.push_back("waited for a suspended child");
    const auto& brief = world.options.briefPrograms;
    bool isBrief =
        std::find(brief.begin(), brief.end(), world.launches[index].program) != brief.end();
    int64_t seconds = isBrief ? 0 : world.options.childSeconds;
    for (const auto& [program, programSeconds] : world.options.programSeconds) {
        if (program == world.launches[index].program) seconds = programSeconds;
    }
    if (!world.launches[index].terminated) {
        BlockUntil(lock, world.launches[index].startMs + seconds * 1000,
                   &world.waitingWorker[index]);
    }
    fake::Launch& launch = world.launches[index];
    // Released because the runner ended, not the child.
    if (IsGone()) return;
    if (!launch.terminated) {
        launch.ended = true;
        launch.endMs = world.nowMs;
        for (const auto& [program, code] : world.options.exitCodes) {
            if (program == launch.program) launch.exitCode = code;
        }
        const auto& late = world.options.lateEndReports;
        if (std::find(late.begin(), late.end(), launch.program) != late.end()) {
            BlockUntil(lock, world.nowMs + 1);
        }
    }
}

uint32_t ChildExitCode(const ChildProcess& child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return 0;
    size_t index = LaunchOf(child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("exit code through a closed handle");
        return 0;
    }
    const fake::Launch& launch = world.launches[index];
    if (!launch.ended && !launch.terminated)
        world.handleErrors.push_back("exit code of a running child");
    return launch.exitCode;
}

void TerminateChild(const ChildProcess& child, uint32_t exitCode) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return;
    size_t index = LaunchOf(child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("terminate through a closed handle");
        return;
    }
    EndChildAlone(index, exitCode);
}

void CloseJobObject(void* job) {
    size_t index = reinterpret_cast<uintptr_t>(job) - 1;
    if (index >= world.jobObjects.size() || !world.jobObjects[index].open) {
        world.handleErrors.push_back("job closed twice");
        return;
    }
    FakeJobObject& closed = world.jobObjects[index];
    closed.open = false;
    if (closed.killOnClose && closed.launch >= 0)
        EndLaunch(closed.launch, fake::kJobClosedExitCode);
}

void ReleaseChild(ChildProcess* child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return;
    size_t index = LaunchOf(*child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("closed twice");
    } else {
        world.handleOpen[index] = false;
    }
    if (child->jobObject != nullptr) {
        // Let go of, not ended: what the run left running goes on.
        world.jobObjects[reinterpret_cast<uintptr_t>(child->jobObject) - 1].killOnClose = false;
        CloseJobObject(child->jobObject);
    }
    *child = ChildProcess{};
}

bool ResumeChild(const ChildProcess& child, uint32_t* error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return false;
    if (world.options.resumeFails) {
        *error = kErrorAccessDenied;
        return false;
    }
    world.launches[LaunchOf(child)].suspended = false;
    return true;
}

bool HasChildEnded(const ChildProcess& child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return false;
    size_t index = LaunchOf(child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("asked through a closed handle");
        return true;
    }
    return world.launches[index].ended || world.launches[index].terminated;
}

void* CreateRunJobObject() {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (world.options.jobObjectsMissing || IsGone()) return nullptr;
    world.jobObjects.push_back(FakeJobObject{true, -1, true});
    return reinterpret_cast<void*>(static_cast<uintptr_t>(world.jobObjects.size()));
}

void KeepJobProcessesAtClose(void* job) {
    if (job == nullptr) return;
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return;
    FakeJobObject& kept = world.jobObjects[reinterpret_cast<uintptr_t>(job) - 1];
    if (!kept.open) world.handleErrors.push_back("job limits set through a closed handle");
    kept.killOnClose = false;
}

bool AddChildToJobObject(void* job, const ChildProcess& child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return false;
    if (world.options.jobObjectsRefused) return false;
    size_t launch = LaunchOf(child);
    // A child that runs may have started others already, out of the job's
    // reach: Windows would take it, but nothing here may depend on that.
    if (!world.launches[launch].suspended) {
        world.handleErrors.push_back("a running child put into a job object");
        return false;
    }
    world.jobObjects[reinterpret_cast<uintptr_t>(job) - 1].launch = static_cast<int64_t>(launch);
    world.launches[launch].inJobObject = true;
    return true;
}

void TerminateRunJobObject(void* job, uint32_t exitCode) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return;
    const FakeJobObject& held = world.jobObjects[reinterpret_cast<uintptr_t>(job) - 1];
    if (!held.open) {
        world.handleErrors.push_back("job terminated through a closed handle");
        return;
    }
    if (held.launch < 0) return;
    fake::Launch& launch = world.launches[held.launch];
    const auto& racing = world.options.endAsTheLimitComes;
    bool endsFirst = std::find(racing.begin(), racing.end(), launch.program) != racing.end();
    if (endsFirst && !launch.ended && !launch.terminated &&
        world.waitingWorker[held.launch] != nullptr) {
        // Ended by itself a moment before: its worker takes its own end.
        launch.ended = true;
        launch.endMs = world.nowMs;
        for (const auto& [program, code] : world.options.exitCodes) {
            if (program == launch.program) launch.exitCode = code;
        }
        Release(world.waitingWorker[held.launch]);
        world.changed.notify_all();
    }
    EndLaunch(held.launch, exitCode);
}

void ReleaseJobObject(void* job) {
    if (job == nullptr) return;
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsGone()) return;
    world.jobObjects[reinterpret_cast<uintptr_t>(job) - 1].killOnClose = false;
    CloseJobObject(job);
}

bool StartThread(ThreadBody body, int32_t argument) {
    std::unique_lock<std::mutex> guard(world.mutex);
    if (world.options.failThreadStarts > 0 && world.nowMs >= world.options.threadStartsFailFromMs) {
        --world.options.failThreadStarts;
        return false;
    }
    bool isRun = body == JobWorker;
    if (isRun && world.options.onRunStart) {
        std::vector<std::string> going;
        for (const WorkerRun& run : world.workerRuns) {
            if (!run.done) going.push_back(run.command);
        }
        // On the scheduler's thread, which owns the rows it may read.
        auto onRunStart = world.options.onRunStart;
        guard.unlock();
        onRunStart(argument, going);
        guard.lock();
    }
    if (world.options.stopAt == fake::StopPoint::kThreadStarted) StopFlag.store(1);
    ++world.active;
    size_t run = world.workerRuns.size();
    if (isRun) world.workerRuns.push_back(WorkerRun{argument, Rows[argument].run.command, false});
    world.workers.emplace_back([body, argument, isRun, run] {
        onWorker = true;
        body(argument);
        std::lock_guard<std::mutex> done(world.mutex);
        if (isRun) world.workerRuns[run].done = true;
        --world.active;
        world.changed.notify_all();
    });
    return true;
}

void EnterReportLock() { reportLock.lock(); }
void LeaveReportLock() { reportLock.unlock(); }

size_t ReadEnvironmentBlock(uint16_t* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::u16string block;
    for (const auto& [name, value] : world.environment)
        block += Utf16Of(name + "=" + value) + u'\0';
    if (block.empty()) block += u'\0';
    block += u'\0';
    if (block.size() > size) return 0;
    std::memcpy(buffer, block.data(), block.size() * sizeof(uint16_t));
    return block.size();
}

size_t ConvertAnsiToUtf16(const char* ansi, uint16_t* units, size_t size) {
    std::u16string wide = Utf16Of(ansi);
    // Windows needs room for the zero too.
    if (wide.empty() || wide.size() >= size) return 0;
    std::memcpy(units, wide.data(), wide.size() * sizeof(uint16_t));
    return wide.size();
}

bool GetExecutablePath(char* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(world.mutex);
    const std::string& path = world.options.executablePath;
    if (!world.options.executablePathFits || path.size() >= size) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

bool ChangeDirectory(const char* path, uint32_t* error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.directories.push_back(path);
    if (world.options.changeDirectoryError != 0) {
        *error = world.options.changeDirectoryError;
        return false;
    }
    world.currentDirectory = path;
    return true;
}

namespace {

// The real file standing for a Windows path: only the program folder's files
// are there; a name without a folder is looked for in the current one.
std::string RealFileOf(const std::string& name) {
    std::string full = name.find('\\') == std::string::npos ? world.currentDirectory + name : name;
    const std::string& executable = world.options.executablePath;
    std::string folder = executable.substr(0, executable.rfind('\\') + 1);
    if (full.size() <= folder.size() ||
        strncasecmp(full.c_str(), folder.c_str(), folder.size()) != 0 ||
        full.find('\\', folder.size()) != std::string::npos) {
        return "";
    }
    return world.options.configDirectory + "/" + full.substr(folder.size());
}

}  // namespace

bool ReadWholeFile(const char* windowsName, char* buffer, size_t size, size_t* length,
                   uint32_t* error) {
    std::unique_lock<std::mutex> guard(world.mutex);
    ++world.fileReads;
    const fake::Options& o = world.options;
    // A read that stalls, as one a scanner holds up, on a thread of ours.
    if (onWorker && o.readsStallFromMs >= 0 && world.nowMs >= o.readsStallFromMs &&
        world.nowMs < o.readsStallFromMs + o.readStallMs) {
        BlockUntil(guard, o.readsStallFromMs + o.readStallMs);
    }
    std::string real = RealFileOf(windowsName);
    const char* name = real.c_str();
    struct stat info;
    if (real.empty() || stat(name, &info) != 0) {
        *error = real.empty() || errno == ENOENT ? kErrorFileNotFound : kErrorAccessDenied;
        return false;
    }
    if (world.nowMs < o.lockedUntilMs) {
        *error = kErrorSharingViolation;
        return false;
    }
    // Windows opens no folder as a file.
    if (o.readError != 0 || S_ISDIR(info.st_mode)) {
        *error = o.readError != 0 ? o.readError : kErrorAccessDenied;
        return false;
    }
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        *error = kErrorAccessDenied;
        return false;
    }
    *length = std::fread(buffer, 1, size, file);
    std::fclose(file);
    return true;
}

bool IsNtPlatform() { return true; }

bool PrepareChildCreation() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return !world.options.jobObjectsRefused;
}

bool IsSystem32ProgramMissing(const char* programPath, uint32_t error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    auto route = system32_path::ChooseRoute(world.options.runnerUnderWow64, true);
    return system32_path::IsMissingFromRealSystem32(route, programPath, "C:\\Windows", error);
}

namespace {

constexpr SecurityId kSystemSid = {{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 12};
constexpr SecurityId kEveryoneSid = {{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 12};
// S-1-5-21-0-0-0-1000, the runner's account, as under Wine.
constexpr SecurityId kRunnerSid = {
    {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 3, 0, 0}, 28};

// The folder of the executable, "C:\jobs\" for "C:\jobs\cycle_launch.exe".
std::string FolderOfExecutable(const fake::Options& o) {
    return o.executablePath.substr(0, o.executablePath.rfind('\\') + 1);
}

// path, or where it leads when it is at or under folder's link.
std::string RealFolderOf(const std::string& path,
                         const std::pair<std::string, std::string>& folder) {
    const std::string& link = folder.first;
    bool within = path.compare(0, link.size(), link) == 0 &&
                  (path.size() == link.size() || path[link.size()] == '\\');
    if (!within) return path;
    std::string real = folder.second + path.substr(link.size());
    // "X:\" of a drive substituted for "C:\real" is "C:\real".
    if (real.size() > 3 && real.back() == '\\') real.pop_back();
    return real;
}

// Called with the world's lock held.
void FakeSecurity(const std::string& path, ObjectSecurity* security) {
    const fake::Options& o = world.options;
    *security = ObjectSecurity{};
    security->owner = kSystemSid;
    security->links = 1;
    security->entryCount = 1;
    security->entries[0] = AccessEntry{0, 0, 0x1f01ff, kSystemSid};
    // Opened as itself, a link is the system's; through one, the path is
    // judged where it leads.
    bool unsafe = false;
    std::string real = path;
    for (const auto& folder : o.realFolders) {
        if (path == folder.first) security->reparsePoint = true;
        if (!security->reparsePoint) real = RealFolderOf(real, folder);
    }
    for (const std::string& unsafePath : o.unsafePaths) {
        unsafe = unsafe || unsafePath == path || unsafePath == real;
    }
    if (path == FolderOfExecutable(o) + texts::kConfigFileName && o.configUnsafeFromMs >= 0 &&
        world.nowMs >= o.configUnsafeFromMs) {
        unsafe = true;
    }
    if (unsafe)
        security->entries[security->entryCount++] = AccessEntry{0, 0, 0x1301ff, kEveryoneSid};
    if (path == FolderOfExecutable(o) + texts::kConfigFileName) security->links = o.configLinks;
}

// Called with the world's lock held.
bool IsConfigWritten(const char* path) {
    const fake::Options& o = world.options;
    return path == FolderOfExecutable(o) + texts::kConfigFileName && o.configWriterFromMs >= 0 &&
           world.nowMs >= o.configWriterFromMs && world.nowMs < o.configWriterUntilMs;
}

}  // namespace

bool HasFileSecurity() { return true; }

void ReadPathSecurity(const char* path, OtherWriters writers, ObjectSecurity* security) {
    std::lock_guard<std::mutex> guard(world.mutex);
    FakeSecurity(path, security);
    // A program that shares nothing refuses every open that reads.
    bool locked = world.nowMs < world.options.lockedUntilMs &&
                  path == FolderOfExecutable(world.options) + texts::kConfigFileName;
    if (writers == OtherWriters::kRefused && (locked || IsConfigWritten(path))) {
        *security = ObjectSecurity{};
        security->readError = kErrorSharingViolation;
        return;
    }
    // The configuration is the one file really there.
    std::string config = FolderOfExecutable(world.options) + texts::kConfigFileName;
    struct stat info;
    std::string real = world.options.configDirectory + "/" + texts::kConfigFileName;
    if (path == config && stat(real.c_str(), &info) != 0) {
        security->readError = kErrorFileNotFound;
    }
}

bool ReadCheckedFile(const char* path, OtherWriters writers, ObjectSecurity* security, char* buffer,
                     size_t size, size_t* length, uint32_t* error) {
    {
        std::lock_guard<std::mutex> guard(world.mutex);
        if (writers == OtherWriters::kRefused && IsConfigWritten(path)) {
            *length = 0;
            *error = kErrorSharingViolation;
            return false;
        }
    }
    if (!ReadWholeFile(path, buffer, size, length, error)) return false;
    std::lock_guard<std::mutex> guard(world.mutex);
    FakeSecurity(path, security);
    return true;
}

bool ReadRealPath(const char* path, char* real, size_t size, bool* onNetwork, uint32_t* error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    *onNetwork = false;
    if (world.options.realPathError != 0) {
        *error = world.options.realPathError;
        return false;
    }
    std::string where = path;
    for (const auto& folder : world.options.realFolders) where = RealFolderOf(where, folder);
    if (where.size() >= size) {
        *error = kErrorFilenameTooLong;
        return false;
    }
    std::snprintf(real, size, "%s", where.c_str());
    *onNetwork = where.rfind("\\\\", 0) == 0;
    return true;
}

bool ReadRunnerAccount(SecurityId* sid) {
    *sid = kRunnerSid;
    return true;
}

void DescribeAccount(const SecurityId& sid, char* name, size_t size) {
    const char* known = "";
    if (sid.length == kEveryoneSid.length &&
        std::memcmp(sid.bytes, kEveryoneSid.bytes, sid.length) == 0) {
        known = "Everyone";
    }
    std::snprintf(name, size, "%s", known);
}

bool IsMachineSwitchOn(const char* key, const char* name) {
    std::lock_guard<std::mutex> guard(world.mutex);
    return std::strcmp(key, texts::kParametersKey) == 0 &&
           std::strcmp(name, texts::kAllowUnsafePermissionsValue) == 0 &&
           world.options.allowUnsafePermissions;
}

bool HasIcacls() { return true; }

void WriteErrorEvent(const char* source, uint32_t eventId, const char* text) {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.events.push_back(fake::Event{source, eventId, text, world.nowMs, true});
}

bool IsDesktopSeen() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.options.desktopSeen;
}

bool PrepareConsoleMessages() { return true; }

// An ANSI code page of Latin-1, but for one double-byte character:
// 0x81 is its lead byte, so U+0081 has no form.
size_t ConvertToAnsi(const uint16_t* units, size_t count, char* ansi, size_t size) {
    if (count != 1) return 0;
    if (units[0] == fake::kDoubleByteCharacter) {
        if (size < 2) return 0;
        ansi[0] = fake::kDoubleByteForm[0];
        ansi[1] = fake::kDoubleByteForm[1];
        return 2;
    }
    if (units[0] > 0xFF || units[0] == 0x81 || size < 1) return 0;
    ansi[0] = static_cast<char>(units[0]);
    return 1;
}

void WriteWarningEvent(const char* source, uint32_t eventId, const char* text) {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.events.push_back(fake::Event{source, eventId, text, world.nowMs});
}

bool SendConsoleMessage(const char*, const char* text) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (!world.options.consoleSession) return false;
    world.consoleMessages.push_back(text);
    return true;
}

size_t ConvertAnsiToUtf8(const char* ansi, char* utf8, size_t size) {
    size_t at = 0;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(ansi); *c != 0; ++c) {
        size_t need = *c < 0x80 ? 1 : 2;
        if (at + need + 1 > size) break;
        if (need == 1) {
            utf8[at++] = static_cast<char>(*c);
        } else {
            utf8[at++] = static_cast<char>(0xC0 | (*c >> 6));
            utf8[at++] = static_cast<char>(0x80 | (*c & 0x3F));
        }
    }
    if (size > 0) utf8[at] = '\0';
    return at;
}

void DescribeSystemError(uint32_t error, char* text, size_t size) {
    const char* message = "";
    switch (error) {
    case kErrorFileNotFound:
        message = "The system cannot find the file specified.";
        break;
    case kErrorAccessDenied:
        message = "Access is denied.";
        break;
    case kErrorSharingViolation:
        message = "The process cannot access the file because it is being used by another process.";
        break;
    case kErrorDiskFull:
        message = "There is not enough space on the disk.";
        break;
    case kErrorInternal:
        message = "An internal error occurred.";
        break;
    case kErrorCantAccessFile:
        message = "The file cannot be accessed by the system.";
        break;
    }
    std::snprintf(text, size, "%s", message);
}

uint32_t CurrentProcessId() { return fake::kRunnerPid; }

// --- The journal's writer thread, its lock and its signals ----------------

namespace {
std::mutex journalLock;
}

bool StartWriterThread(ThreadBody body) {
    std::lock_guard<std::mutex> guard(world.mutex);
    ++world.active;
    world.workers.emplace_back([body] {
        body(0);
        std::lock_guard<std::mutex> done(world.mutex);
        --world.active;
        world.changed.notify_all();
    });
    return true;
}

void EnterJournalLock() { journalLock.lock(); }
void LeaveJournalLock() { journalLock.unlock(); }

void WakeJournalWriter() {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.journalWake = true;
    if (world.journalWaiter != nullptr && !world.journalWaiter->released) {
        Release(world.journalWaiter);
        world.changed.notify_all();
    }
}

// Time out in fake time, like every other wait of the fake.
bool WaitForJournalWork(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(world.mutex);
    if (!world.journalWake) BlockUntil(lock, world.nowMs + timeoutMs, &world.journalWaiter);
    bool woken = world.journalWake;
    world.journalWake = false;
    return woken;
}

void WakeConfigReader() {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.readerWake = true;
    if (world.readerWaiter != nullptr && !world.readerWaiter->released) {
        Release(world.readerWaiter);
        world.changed.notify_all();
    }
}

// Woken by the scheduler, or by the end of the case.
void WaitForConfigReadRequest() {
    std::unique_lock<std::mutex> lock(world.mutex);
    if (!world.readerWake) BlockUntil(lock, fake::kNever, &world.readerWaiter);
    world.readerWake = false;
}

void SignalJournalDrained() {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.journalDrained = true;
    world.changed.notify_all();
}

// The stop's limit is real time, on Windows as here.
bool WaitForJournalDrained(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(world.mutex);
    world.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [] { return world.journalDrained; });
    bool drained = world.journalDrained;
    world.journalDrained = false;
    return drained;
}

void SignalWarningsWritten() {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.warningsWritten = true;
    world.changed.notify_all();
}

bool WaitForWarningsWritten(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(world.mutex);
    world.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [] { return world.warningsWritten; });
    bool written = world.warningsWritten;
    world.warningsWritten = false;
    world.standardErrorGone = false;
    return written;
}

// The real standard error, which tests capture; stuck in fake time.
void WriteStandardError(const char* text) {
    {
        std::unique_lock<std::mutex> lock(world.mutex);
        if (world.standardErrorGone) return;
        if (world.nowMs < world.options.standardErrorStuckUntilMs) {
            BlockUntil(lock, world.options.standardErrorStuckUntilMs);
            // Let go by the case's end, not by time: the pipe is gone.
            if (world.nowMs < world.options.standardErrorStuckUntilMs) {
                world.standardErrorGone = true;
                return;
            }
        }
    }
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// --- The journal's files: real files in the program folder's stand-in -----

namespace {

std::string RealPath(const char* windowsPath) {
    const char* name = std::strrchr(windowsPath, '\\');
    return world.options.configDirectory + "/" + (name ? name + 1 : windowsPath);
}

bool IsListed(const std::vector<std::string>& names, const std::string& realPath) {
    for (const auto& name : names) {
        if (realPath == world.options.configDirectory + "/" + name) return true;
    }
    return false;
}

bool IsMapped(const std::string& realPath) { return IsListed(world.options.mappedFiles, realPath); }

bool IsHeld(const std::string& realPath) {
    return IsListed(world.options.heldFiles, realPath) || IsMapped(realPath);
}

int Descriptor(void* file) { return world.journalFiles[reinterpret_cast<uintptr_t>(file) - 1]; }

}  // namespace

void* OpenJournalFile(const char* path, uint32_t* error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::string real = RealPath(path);
    for (size_t i = 0; i < world.journalFiles.size(); ++i) {
        // Opened without write sharing: a second writer is refused.
        if (world.journalFiles[i] >= 0 && world.journalFilePaths[i] == real) {
            *error = kErrorSharingViolation;
            return nullptr;
        }
    }
    // A reader that maps the file shares writing with us; one that holds it doesn't.
    if (IsListed(world.options.heldFiles, real)) {
        *error = kErrorSharingViolation;
        return nullptr;
    }
    // A link is opened as itself, as a reparse point is, and refused.
    int fd = open(real.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
    if (fd < 0) {
        // A folder of that name: access denied.
        *error = errno == ENOENT  ? kErrorPathNotFound
                 : errno == ELOOP ? kErrorCantAccessFile
                                  : kErrorAccessDenied;
        return nullptr;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_nlink > 1) {
        close(fd);
        *error = kErrorCantAccessFile;
        return nullptr;
    }
    world.journalFiles.push_back(fd);
    world.journalFilePaths.push_back(real);
    world.journalFileWrites.push_back(true);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(world.journalFiles.size()));
}

void* OpenJournalFileToRead(const char* path, uint32_t* error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::string real = RealPath(path);
    for (size_t i = 0; i < world.journalFiles.size(); ++i) {
        if (world.journalFiles[i] >= 0 && world.journalFilePaths[i] == real &&
            world.journalFileWrites[i]) {
            *error = kErrorSharingViolation;
            return nullptr;
        }
    }
    int fd = open(real.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) {
        *error = errno == ENOENT  ? kErrorFileNotFound
                 : errno == ELOOP ? kErrorCantAccessFile
                                  : kErrorAccessDenied;
        return nullptr;
    }
    // Windows opens no folder as a file.
    struct stat status;
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(fd);
        *error = kErrorAccessDenied;
        return nullptr;
    }
    world.journalFiles.push_back(fd);
    world.journalFilePaths.push_back(real);
    world.journalFileWrites.push_back(false);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(world.journalFiles.size()));
}

void CloseJournalFile(void* file) {
    std::lock_guard<std::mutex> guard(world.mutex);
    int& fd = world.journalFiles[reinterpret_cast<uintptr_t>(file) - 1];
    if (fd < 0) {
        world.handleErrors.push_back("journal closed twice");
        return;
    }
    close(fd);
    fd = -1;
}

bool JournalFileSize(void* file, uint64_t* size, uint32_t* error) {
    std::lock_guard<std::mutex> guard(world.mutex);
    struct stat status;
    if (fstat(Descriptor(file), &status) != 0) {
        *error = kErrorAccessDenied;
        return false;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

size_t ReadJournalFile(void* file, uint64_t offset, char* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (IsListed(world.options.unreadableFiles,
                 world.journalFilePaths[reinterpret_cast<uintptr_t>(file) - 1])) {
        return 0;
    }
    ssize_t read = pread(Descriptor(file), buffer, size, static_cast<off_t>(offset));
    return read > 0 ? static_cast<size_t>(read) : 0;
}

bool AppendJournalFile(void* file, const char* bytes, size_t length, uint32_t* error) {
    std::unique_lock<std::mutex> lock(world.mutex);
    // Slow while the scheduler ticks; after the stop no time passes to wait
    // out, unless the disk hangs for good.
    if (world.options.journalWriteMs > 0 && StopFlag.load() == 0) {
        BlockUntil(lock, world.nowMs + world.options.journalWriteMs);
    }
    if (world.options.diskHangsAtStop && StopFlag.load() != 0 && !world.diskHung) {
        world.diskHung = true;  // until the case ends and lets it go
        BlockUntil(lock, std::numeric_limits<int64_t>::max());
    }
    int fd = Descriptor(file);
    lseek(fd, 0, SEEK_END);
    if (world.diskFull) {
        // As a full disk does: part of it may land.
        ssize_t ignored = write(fd, bytes, length / 2);
        (void)ignored;
        *error = kErrorDiskFull;
        return false;
    }
    if (write(fd, bytes, length) == static_cast<ssize_t>(length)) return true;
    *error = kErrorDiskFull;
    return false;
}

bool CutJournalFile(void* file, uint64_t length) {
    std::lock_guard<std::mutex> guard(world.mutex);
    // As SetEndOfFile on a mapped file: the user-mapped section error.
    if (IsMapped(world.journalFilePaths[reinterpret_cast<uintptr_t>(file) - 1])) return false;
    return ftruncate(Descriptor(file), static_cast<off_t>(length)) == 0;
}

bool IsJournalFileDeleted(void* file) {
    std::lock_guard<std::mutex> guard(world.mutex);
    struct stat status;
    return fstat(Descriptor(file), &status) == 0 && status.st_nlink == 0;
}

bool CopyJournalFile(void* file, const char* path) {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::string real = RealPath(path);
    if (IsHeld(real)) return false;
    int from = Descriptor(file);
    int to = open(real.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (to < 0) return false;
    char buffer[65536];
    off_t offset = 0;
    ssize_t read;
    bool copied = true;
    while ((read = pread(from, buffer, sizeof buffer, offset)) > 0) {
        if (write(to, buffer, static_cast<size_t>(read)) != read) copied = false;
        offset += read;
    }
    close(to);
    return copied;
}

bool JournalFileExists(const char* path) {
    std::lock_guard<std::mutex> guard(world.mutex);
    return access(RealPath(path).c_str(), F_OK) == 0;
}

// As MoveFile: the target must be free, and a held file can't move.
bool MoveJournalFile(const char* from, const char* to) {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::string source = RealPath(from);
    std::string target = RealPath(to);
    if (access(source.c_str(), F_OK) != 0 || access(target.c_str(), F_OK) == 0) return false;
    if (IsHeld(source)) return false;
    return rename(source.c_str(), target.c_str()) == 0;
}

bool DeleteJournalFile(const char* path) {
    std::lock_guard<std::mutex> guard(world.mutex);
    std::string real = RealPath(path);
    if (access(real.c_str(), F_OK) != 0) return true;
    if (IsHeld(real)) return false;
    return unlink(real.c_str()) == 0;
}
