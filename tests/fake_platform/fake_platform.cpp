#include "tests/fake_platform/fake_platform.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "jobs/job_table.h"
#include "platform/admin_report.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system.h"
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
};

struct World {
    std::mutex mutex;
    std::condition_variable changed;
    fake::Options options;
    int64_t nowMs = 0;
    int active = 0;  // workers neither blocked nor done
    std::vector<std::thread> workers;
    std::vector<Blocked*> blocked;
    std::vector<fake::Launch> launches;
    std::vector<bool> handleOpen;       // by launch
    std::vector<FakeJobObject> jobObjects;
    std::deque<Blocked*> waitingWorker;   // by launch; a deque keeps addresses
    std::vector<std::string> warnings;
    std::vector<fake::Event> events;
    std::vector<std::string> consoleMessages;
    std::vector<std::string> handleErrors;
    std::vector<std::string> directories;
    std::map<std::string, std::string> environment;
} world;

std::recursive_mutex launchLock;
std::mutex reportLock;
thread_local bool onWorker = false;

// Called with the world locked; returns with it locked.
void BlockUntil(std::unique_lock<std::mutex>& lock, int64_t untilMs,
                Blocked** registration = nullptr) {
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
    world.active = 0;
    world.launches.clear();
    world.handleOpen.clear();
    world.jobObjects.clear();
    world.waitingWorker.clear();
    world.warnings.clear();
    world.events.clear();
    world.consoleMessages.clear();
    world.handleErrors.clear();
    world.directories.clear();
    world.environment.clear();
    if (options.hasPath) world.environment["PATH"] = options.path;
}

void Finish() {
    {
        std::unique_lock<std::mutex> lock(world.mutex);
        while (!world.blocked.empty()) Release(world.blocked.front());
        world.changed.notify_all();
    }
    JoinWorkers();
}

int64_t NowMs() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.nowMs;
}

std::vector<Launch> Launches() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.launches;
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

std::vector<std::string> ChangedDirectories() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.directories;
}

}  // namespace fake

void SleepMilliseconds(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(world.mutex);
    world.changed.wait(lock, [] { return world.active == 0; });
    world.nowMs += milliseconds;
    if (world.options.stopAtMs >= 0 && world.nowMs >= world.options.stopAtMs) StopFlag.store(1);
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
    return static_cast<uint64_t>(world.nowMs);
}

// 2026-12-10T12:00:00.000 local time at the start of every case.
LocalTime ReadLocalTime() {
    std::lock_guard<std::mutex> guard(world.mutex);
    int64_t ms = world.nowMs;
    int64_t seconds = ms / 1000;
    int32_t hour = static_cast<int32_t>(12 + seconds / 3600);
    return LocalTime{2026, 12, 10 + hour / 24, hour % 24,
                     static_cast<int32_t>(seconds / 60 % 60), static_cast<int32_t>(seconds % 60),
                     static_cast<int32_t>(ms % 1000), world.options.utcOffsetMinutes};
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

bool CreateChild(const char* programPath, char* commandLine, const char* workingDirectory,
                 bool suspended, ChildProcess* child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    *child = ChildProcess{};
    const auto& missing = world.options.missingPrograms;
    const fake::Options& o = world.options;
    bool stillMissing = o.missingUntilMs < 0 || world.nowMs < o.missingUntilMs ||
                        (o.missingAgainFromMs >= 0 && world.nowMs >= o.missingAgainFromMs);
    bool exists = programPath[0] != '\0' &&
                  (!stillMissing ||
                   std::find(missing.begin(), missing.end(), programPath) == missing.end());
    int32_t job = -1;
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        if (child == &ProcessRecord[i]) job = i;
    }
    world.launches.push_back(fake::Launch{world.nowMs, job, programPath, commandLine,
                                    workingDirectory ? workingDirectory : "",
                                    world.environment.count("PATH") ? world.environment["PATH"] : "",
                                    exists, false, false, 0, -1, exists && suspended, false,
                                    exists && world.options.childrenStartDescendants, false,
                                    0});
    world.handleOpen.push_back(exists);
    world.waitingWorker.push_back(nullptr);
    if (!exists) return false;
    if (world.options.stopAt == fake::StopPoint::kChildBeingCreated) StopFlag.store(1);
    uintptr_t id = world.launches.size();
    child->process = reinterpret_cast<void*>(id);
    child->thread = reinterpret_cast<void*>(id);
    child->processId = static_cast<uint32_t>(id);
    return true;
}

void WaitForChild(const ChildProcess& child) {
    std::unique_lock<std::mutex> lock(world.mutex);
    if (world.options.stopAt == fake::StopPoint::kChildCreated) StopFlag.store(1);
    size_t index = LaunchOf(child);
    if (world.launches[index].suspended) world.handleErrors.push_back("waited for a suspended child");
    const auto& brief = world.options.briefPrograms;
    bool isBrief = std::find(brief.begin(), brief.end(), world.launches[index].program) != brief.end();
    int64_t seconds = isBrief ? 0 : world.options.childSeconds;
    if (!world.launches[index].terminated) {
        BlockUntil(lock, world.launches[index].startMs + seconds * 1000,
                   &world.waitingWorker[index]);
    }
    fake::Launch& launch = world.launches[index];
    if (!launch.terminated) {
        launch.ended = true;
        launch.endMs = world.nowMs;
    }
}

void TerminateChild(const ChildProcess& child, uint32_t exitCode) {
    std::lock_guard<std::mutex> guard(world.mutex);
    size_t index = LaunchOf(child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("terminate through a closed handle");
        return;
    }
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

void CloseJobObject(void* job) {
    size_t index = reinterpret_cast<uintptr_t>(job) - 1;
    if (index >= world.jobObjects.size() || !world.jobObjects[index].open) {
        world.handleErrors.push_back("job closed twice");
    } else {
        world.jobObjects[index].open = false;
    }
}

void ReleaseChild(ChildProcess* child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    size_t index = LaunchOf(*child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("closed twice");
    } else {
        world.handleOpen[index] = false;
    }
    if (child->jobObject != nullptr) CloseJobObject(child->jobObject);
    *child = ChildProcess{};
}

bool ResumeChild(const ChildProcess& child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (world.options.resumeFails) return false;
    world.launches[LaunchOf(child)].suspended = false;
    return true;
}

bool HasChildEnded(const ChildProcess& child) {
    std::lock_guard<std::mutex> guard(world.mutex);
    size_t index = LaunchOf(child);
    if (index >= world.launches.size() || !world.handleOpen[index]) {
        world.handleErrors.push_back("asked through a closed handle");
        return true;
    }
    return world.launches[index].ended || world.launches[index].terminated;
}

void* CreateRunJobObject() {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (world.options.jobObjectsMissing) return nullptr;
    world.jobObjects.push_back(FakeJobObject{true, -1});
    return reinterpret_cast<void*>(static_cast<uintptr_t>(world.jobObjects.size()));
}

bool AddChildToJobObject(void* job, const ChildProcess& child) {
    std::lock_guard<std::mutex> guard(world.mutex);
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
    const FakeJobObject& held = world.jobObjects[reinterpret_cast<uintptr_t>(job) - 1];
    if (!held.open) {
        world.handleErrors.push_back("job terminated through a closed handle");
        return;
    }
    if (held.launch < 0) return;
    fake::Launch& launch = world.launches[held.launch];
    if (launch.hasDescendant && !launch.descendantTerminated) {
        launch.descendantTerminated = true;
        launch.descendantExitCode = exitCode;
    }
    if (launch.ended || launch.terminated) return;
    launch.terminated = true;
    launch.exitCode = exitCode;
    launch.endMs = world.nowMs;
    if (world.waitingWorker[held.launch] != nullptr) {
        Release(world.waitingWorker[held.launch]);
        world.changed.notify_all();
    }
}

void ReleaseJobObject(void* job) {
    if (job == nullptr) return;
    std::lock_guard<std::mutex> guard(world.mutex);
    CloseJobObject(job);
}

bool StartThread(ThreadBody body, int32_t argument) {
    std::lock_guard<std::mutex> guard(world.mutex);
    if (world.options.failThreadStarts > 0) {
        --world.options.failThreadStarts;
        return false;
    }
    if (world.options.stopAt == fake::StopPoint::kThreadStarted) StopFlag.store(1);
    ++world.active;
    world.workers.emplace_back([body, argument] {
        onWorker = true;
        body(argument);
        std::lock_guard<std::mutex> done(world.mutex);
        --world.active;
        world.changed.notify_all();
    });
    return true;
}

void EnterLaunchLock() { launchLock.lock(); }
void LeaveLaunchLock() { launchLock.unlock(); }
void EnterReportLock() { reportLock.lock(); }
void LeaveReportLock() { reportLock.unlock(); }

size_t ReadEnvironmentVariable(const char* name, char* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(world.mutex);
    auto found = world.environment.find(name);
    if (found == world.environment.end()) return 0;
    const std::string& value = found->second;
    if (value.size() >= size) return value.size() + 1;
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return value.size();
}

bool WriteEnvironmentVariable(const char* name, const char* value) {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.environment[name] = value;
    return true;
}

bool GetExecutablePath(char* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(world.mutex);
    const std::string& path = world.options.executablePath;
    if (!world.options.executablePathFits || path.size() >= size) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

bool ChangeDirectory(const char* path) {
    std::lock_guard<std::mutex> guard(world.mutex);
    world.directories.push_back(path);
    return chdir(world.options.configDirectory.c_str()) == 0;
}

bool IsNtPlatform() { return true; }

bool IsDesktopSeen() {
    std::lock_guard<std::mutex> guard(world.mutex);
    return world.options.desktopSeen;
}

bool PrepareConsoleMessages() { return true; }

// An ANSI code page of Latin-1: U+0000 to U+00FF and nothing else.
size_t ConvertToAnsi(const uint16_t* units, size_t count, char* ansi, size_t size) {
    if (count != 1 || units[0] > 0xFF || size < 1) return 0;
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
