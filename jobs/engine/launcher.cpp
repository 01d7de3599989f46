#include "jobs/engine/launcher.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "jobs/config/command.h"
#include "jobs/engine/job_table.h"
#include "jobs/report/journal.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace {

constexpr char kPathName[] = "PATH";

// The system's errors that tell nothing of the program: out of memory or of
// some other resource, or Wine's internal error when a creation now and then
// fails among many threads.
constexpr uint32_t kTransientErrors[] = {
    kErrorNotEnoughMemory,
    kErrorOutOfMemory,
    kErrorInternal,
    kErrorNoSystemResources,
    kErrorNonpagedSystemResources,
    kErrorPagedSystemResources,
    kErrorCommitmentLimit,
};

constexpr size_t kLaunchWarningSize = 1024;

// The environment at start, which every child's is made from; 0 units
// when it did not fit, and children then get ours, which is never written.
uint16_t StartBlock[kEnvironmentBlockUnits];
size_t StartBlockUnits;

// A child's block is composed in its row's buffer: a row has one worker at
// a time, so no launch ever waits for another's buffer. Fixed, 64 KiB a
// row, rather than on the worker's stack, which is kept small for 1024
// workers: 64 MiB of the process's commit charge, of which only the pages
// a block touches take memory.
uint16_t LaunchBuffers[kMaxJobs][kEnvironmentBlockUnits];

// The block is the tighter bound: a PATH that fits in it is within the
// platform's limit for one variable's value.
static_assert(kEnvironmentBlockUnits - (sizeof "PATH=" - 1) - 2 < kMaxPathValue,
              "a PATH value that fits the block may pass the platform's limit");

constexpr size_t kPathNameUnits = sizeof kPathName - 1;

size_t UnitsOf(const uint16_t* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// An entry's name against "PATH", as Windows orders a block's names: by
// their upper case, unit by unit. A name ends at its first '=' after its
// first unit (the current folders' hidden "=C:" names begin with one).
int CompareWithPathName(const uint16_t* entry) {
    for (size_t i = 0;; ++i) {
        uint16_t unit = entry[i];
        bool nameEnds = unit == 0 || (unit == '=' && i > 0);
        if (i == kPathNameUnits) return nameEnds ? 0 : 1;
        if (nameEnds) return -1;
        if (unit >= 'a' && unit <= 'z') unit = static_cast<uint16_t>(unit - 'a' + 'A');
        uint16_t name = static_cast<uint16_t>(kPathName[i]);
        if (unit != name) return unit < name ? -1 : 1;
    }
}

// Appends to a block, never past its last unit, which is kept for the
// zero that ends the block.
struct BlockWriter {
    uint16_t* block;
    size_t used;
    bool fits;

    void Put(const uint16_t* units, size_t count) {
        if (!fits || used + count >= kEnvironmentBlockUnits) {
            fits = false;
            return;
        }
        std::memcpy(block + used, units, count * sizeof *units);
        used += count;
    }
    void PutAscii(const char* text) {
        for (; *text != '\0'; ++text) {
            uint16_t unit = static_cast<uint16_t>(static_cast<unsigned char>(*text));
            Put(&unit, 1);
        }
    }
    void EndEntry() {
        uint16_t zero = 0;
        Put(&zero, 1);
    }
};

// startBlock with its PATH set to the start value or, where that is null,
// the default search list, then separator and the folder. A block without
// one gets it where Windows' order puts it; a second one is dropped.
bool ComposeBlock(uint16_t* block, const uint16_t* startBlock, const uint16_t* startPath,
                  const char* separator, const uint16_t* folder, size_t folderUnits) {
    BlockWriter writer{block, 0, true};
    bool written = false;
    auto writePath = [&]() {
        writer.PutAscii(kPathName);
        writer.PutAscii("=");
        if (startPath != nullptr) {
            writer.Put(startPath, UnitsOf(startPath));
        } else {
            writer.PutAscii(texts::kDefaultSearchList);
        }
        writer.PutAscii(separator);
        writer.Put(folder, folderUnits);
        writer.EndEntry();
        written = true;
    };
    for (const uint16_t* entry = startBlock; *entry != 0; entry += UnitsOf(entry) + 1) {
        int order = CompareWithPathName(entry);
        if (order == 0) {
            if (!written) writePath();
            continue;
        }
        if (order > 0 && !written) writePath();
        writer.Put(entry, UnitsOf(entry) + 1);
    }
    if (!written) writePath();
    if (!writer.fits) return false;
    block[writer.used] = 0;
    return true;
}

// The environment block of a child: exactly the start one for a program
// without a folder, else the start one with the folder after the start
// PATH. Null (ours, as it was at start) where none can be had.
const uint16_t* ChildEnvironment(const char* jobDirectory, int32_t index) {
    if (StartBlockUnits == 0) return nullptr;
    if (jobDirectory == nullptr) return StartBlock;
    uint16_t* block = LaunchBuffers[index];
    return ComposeChildBlock(StartBlock, jobDirectory, block) ? block : nullptr;
}

// The child starts suspended, so that nothing it starts escapes its job
// object before it is in it, and so that one created after the stop ends
// before it runs. Where it can't be put into a job object, it runs
// without, and a stop ends the child alone.
bool CreateChildInItsJobObject(const char* programPath, char* commandLine, const char* directory,
                               const uint16_t* environment, ChildProcess* child, bool* suspended,
                               uint32_t* error) {
    void* jobObject = CreateRunJobObject();
    *suspended = jobObject != nullptr;
    if (!CreateChild(programPath, commandLine, directory, environment, *suspended, jobObject, child,
                     error)) {
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

// A step of the run told to the scheduler: the first one out of launching
// only while the stop has not given up waiting for it.
bool PublishFirst(RowRun& run, int32_t progress) {
    int32_t launching = kProgressLaunching;
    return run.progress.compare_exchange_strong(launching, progress);
}

}  // namespace

void EndRunTree(const ChildProcess& child, uint32_t exitCode) {
    if (child.jobObject != nullptr) {
        TerminateRunJobObject(child.jobObject, exitCode);
    } else {
        TerminateChild(child, exitCode);
    }
}

bool CaptureStartBlock() {
    StartBlockUnits = ReadEnvironmentBlock(StartBlock, kEnvironmentBlockUnits);
    return StartBlockUnits != 0;
}

bool ComposeChildBlock(const uint16_t* startBlock, const char* jobDirectory, uint16_t* block) {
    uint16_t folder[kTextSize];
    size_t folderUnits = ConvertAnsiToUtf16(jobDirectory, folder, kTextSize);
    if (folderUnits == 0) return false;
    const uint16_t* startPath = nullptr;
    for (const uint16_t* entry = startBlock; *entry != 0; entry += UnitsOf(entry) + 1) {
        if (CompareWithPathName(entry) != 0) continue;
        // A bare "PATH" holds no value: the default list stands in for it.
        if (entry[kPathNameUnits] == '=' && entry[kPathNameUnits + 1] != 0) {
            startPath = entry + kPathNameUnits + 1;
        }
        break;
    }
    if (startPath != nullptr &&
        ComposeBlock(block, startBlock, startPath, ";", folder, folderUnits)) {
        return true;
    }
    return ComposeBlock(block, startBlock, nullptr, "", folder, folderUnits);
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
    const uint16_t* environment = ChildEnvironment(directory, index);
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
    run.createdAwakeMs = CreationAwakeMilliseconds();
    run.createdAt = ReadLocalTime();
    // Created once the stop was under way: ended before it ran, if it was
    // still suspended. One the stop gave up on is told to nobody.
    if (StopFlag.load() != 0 || !PublishFirst(run, kProgressCreated)) {
        EndRunTree(child, kStoppedChildExitCode);
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
