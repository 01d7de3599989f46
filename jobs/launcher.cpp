#include "jobs/launcher.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "jobs/command.h"
#include "jobs/job_table.h"
#include "jobs/journal.h"
#include "jobs/scheduler.h"
#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

constexpr char kPathName[] = "PATH";

// The system's errors that tell nothing of the program: out of memory or of
// some other resource, or Wine's internal error when a creation now and then
// fails among many threads.
constexpr uint32_t kTransientErrors[] = {
    8,     // ERROR_NOT_ENOUGH_MEMORY
    14,    // ERROR_OUTOFMEMORY
    1359,  // ERROR_INTERNAL_ERROR
    1450,  // ERROR_NO_SYSTEM_RESOURCES
    1451,  // ERROR_NONPAGED_SYSTEM_RESOURCES
    1452,  // ERROR_PAGED_SYSTEM_RESOURCES
    1455,  // ERROR_COMMITMENT_LIMIT
};

constexpr size_t kLaunchWarningSize = 1024;

char StartPath[kMaxPathValue];
// The environment at start, which every child's is made from; length 0
// when it did not fit, and children then get ours, which is never written.
char StartBlock[kEnvironmentBlockSize];
size_t StartBlockLength;

// A child's block is composed in its row's buffer: a row has one worker at
// a time, so no launch ever waits for another's buffer. Only the pages a
// block touches are ever committed.
char LaunchBuffers[kMaxJobs][kEnvironmentBlockSize];

bool IsPathEntry(const char* entry) {
    const char name[] = "PATH=";
    for (size_t i = 0; i < sizeof name - 1; ++i) {
        char c = entry[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
    }
    return true;
}

// The block is the tighter bound: a PATH that fits in it is within the
// platform's limit for one variable's value.
static_assert(kEnvironmentBlockSize - (sizeof "PATH=" - 1) - 2 < kMaxPathValue,
              "a PATH value that fits the block may pass the platform's limit");

// startBlock with PATH set to pathPrefix followed by jobDirectory, in place
// of its PATH. False when it does not fit.
bool ComposeBlock(char* block, const char* startBlock, const char* pathPrefix,
                  const char* separator, const char* jobDirectory) {
    size_t used = 0;
    bool written = false;
    auto writePath = [&]() {
        int length = std::snprintf(block + used, kEnvironmentBlockSize - used, "%s%s%s%s", kPathName,
                                   "=", pathPrefix, separator);
        if (length < 0 || used + static_cast<size_t>(length) >= kEnvironmentBlockSize) return false;
        used += static_cast<size_t>(length);
        length = std::snprintf(block + used, kEnvironmentBlockSize - used, "%s", jobDirectory);
        if (length < 0 || used + static_cast<size_t>(length) + 2 > kEnvironmentBlockSize) return false;
        used += static_cast<size_t>(length) + 1;
        written = true;
        return true;
    };
    for (const char* entry = startBlock; *entry != '\0'; entry += std::strlen(entry) + 1) {
        if (IsPathEntry(entry)) {
            if (!written && !writePath()) return false;
            continue;
        }
        size_t length = std::strlen(entry) + 1;
        if (used + length + 1 > kEnvironmentBlockSize) return false;
        std::memcpy(block + used, entry, length);
        used += length;
    }
    if (!written && !writePath()) return false;
    block[used] = '\0';
    return true;
}

// The environment block of a child: exactly the start one for a program
// without a folder, else the start one with the folder after the start
// PATH. Null (ours, as it was at start) where none can be had.
const char* ChildEnvironment(const char* jobDirectory, int32_t index) {
    if (StartBlockLength == 0) return nullptr;
    if (jobDirectory == nullptr) return StartBlock;
    char* block = LaunchBuffers[index];
    return ComposeChildBlock(StartBlock, StartPath, jobDirectory, block) ? block : nullptr;
}

// The child starts suspended, so that nothing it starts escapes its job
// object before it is in it, and so that one created after the stop ends
// before it runs. Where it can't be put into a job object, it runs
// without, and a stop ends the child alone.
bool CreateChildInItsJobObject(const char* programPath, char* commandLine, const char* directory,
                               const char* environment, ChildProcess* child, bool* suspended,
                               uint32_t* error) {
    void* jobObject = CreateRunJobObject();
    *suspended = jobObject != nullptr;
    if (!CreateChild(programPath, commandLine, directory, environment, *suspended, jobObject,
                     child, error)) {
        ReleaseJobObject(jobObject);
        return false;
    }
    // In it from its creation where the platform can: a runner that ends
    // now still ends it.
    if (jobObject == nullptr || child->jobObject != nullptr) return true;
    if (AddChildToJobObject(jobObject, *child)) {
        child->jobObject = jobObject;
    } else {
        ReleaseJobObject(jobObject);
    }
    return true;
}

void EndChildAtStop(const ChildProcess& child) {
    if (child.jobObject != nullptr) {
        TerminateRunJobObject(child.jobObject, kStoppedChildExitCode);
    } else {
        TerminateChild(child, kStoppedChildExitCode);
    }
}

// A step of the run told to the scheduler: the first one out of launching
// only while the stop has not given up waiting for it.
bool PublishFirst(RowRun& run, int32_t progress) {
    int32_t launching = kProgressLaunching;
    return run.progress.compare_exchange_strong(launching, progress);
}

}  // namespace

void CaptureStartPath() {
    size_t length = ReadEnvironmentVariable(kPathName, StartPath, sizeof StartPath);
    if (length == 0 || length >= sizeof StartPath) StartPath[0] = '\0';
    StartBlockLength = ReadEnvironmentBlock(StartBlock, sizeof StartBlock);
}

bool ComposeChildBlock(const char* startBlock, const char* startPath, const char* jobDirectory,
                       char* block) {
    if (startPath[0] != '\0' && ComposeBlock(block, startBlock, startPath, ";", jobDirectory)) {
        return true;
    }
    return ComposeBlock(block, startBlock, texts::kDefaultSearchList, "", jobDirectory);
}

bool IsTransientLaunchError(uint32_t error) {
    for (uint32_t transient : kTransientErrors) {
        if (error == transient) return true;
    }
    return false;
}

void JobWorker(int32_t index) {
    RowRun& run = Rows[index].run;
    char programPath[kTextSize];
    char commandLine[kTextSize];
    SplitCommand(run.command, programPath, commandLine);
    const char* lastBackslash = std::strrchr(programPath, '\\');
    char jobDirectory[kTextSize] = "";
    if (lastBackslash != nullptr) {
        size_t length = static_cast<size_t>(lastBackslash - programPath) + 1;
        std::memcpy(jobDirectory, programPath, length);
        jobDirectory[length] = '\0';
    }
    // A stop that came first: no child, and nothing to warn about.
    if (StopFlag.load() != 0) {
        PublishFirst(run, kProgressNotStarted);
        return;
    }
    const char* directory = lastBackslash != nullptr ? jobDirectory : nullptr;
    const char* environment = ChildEnvironment(directory, index);
    // Created in the run's own record, which the scheduler reads only once
    // told of it.
    ChildProcess& child = run.child;
    bool suspended = false;
    uint32_t error = 0;
    bool created = CreateChildInItsJobObject(programPath, commandLine, directory, environment,
                                             &child, &suspended, &error);
    if (created && suspended && StopFlag.load() == 0 && !ResumeChild(child, &error)) {
        // Never to run, it would only hold its job object.
        TerminateChild(child, kStoppedChildExitCode);
        ReleaseChild(&child);
        created = false;
    }
    if (!created) {
        run.error = error;
        run.failedAt = ReadLocalTime();
        // After the stop no retry would come: the fail closes the run now.
        if (!run.retried && StopFlag.load() == 0 && IsTransientLaunchError(error)) {
            PublishFirst(run, kProgressRetry);
            return;
        }
        if (!PublishFirst(run, kProgressFailed)) return;
        // The stop ends what it ends; a program it kept from starting is no
        // fault to tell of. Its fail still closes the run.
        if (StopFlag.load() != 0) {
            run.progress.store(kProgressWarningDone);
            return;
        }
        char warning[kLaunchWarningSize];
        std::snprintf(warning, sizeof warning, texts::kLaunchErrorFormat, programPath);
        char reason[kTextSize];
        DescribeSystemError(error, reason, sizeof reason);
        RaiseJobWarning(index, warning, reason);
        run.progress.store(kProgressWarningDone);
        return;
    }
    run.createdMs = MonotonicMilliseconds();
    run.createdAwakeMs = AwakeMilliseconds();
    run.createdAt = ReadLocalTime();
    // Created once the stop was under way: ended before it ran, if it was
    // still suspended. One the stop gave up on is told to nobody.
    if (StopFlag.load() != 0 || !PublishFirst(run, kProgressCreated)) {
        EndChildAtStop(child);
        PublishFirst(run, kProgressSelfEnded);
        return;
    }
    ClearJobWarning(index);
    WaitForChild(child);
    run.exitCode = ChildExitCode(child);
    run.endMs = MonotonicMilliseconds();
    run.endAt = ReadLocalTime();
    bool atLimit = IsEndAtLimit(run, run.exitCode);
    int32_t line = run.line;
    int32_t limit = run.limit;
    // The last touch of the run: the scheduler closes its handles.
    run.progress.store(kProgressEnded);
    // Told here, never on the scheduler's thread, and once the end is out:
    // the event log is another process, which holds up nothing of the job.
    if (atLimit) RaiseLimitWarning(line, programPath, limit);
}
