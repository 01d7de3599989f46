// A deterministic stand-in for the operating system. Its ANSI code page is
// Latin-1 with one double-byte character, U+4E00, as 0x81 0x40. It reads
// the real files of the folder that stands for the program's.
//
// Time moves only when the scheduler sleeps. A child lasts a set number of
// seconds and ends at the first sleep that reaches its end; a worker showing
// a warning box is blocked until the next sleep, as if a user pressed OK a
// moment later. Each sleep first waits until every worker is blocked or
// done, and returns only once the workers it woke are blocked or done again,
// so the scheduler always sees the same world.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "jobs/engine/job_table.h"

namespace fake {

constexpr uint16_t kDoubleByteCharacter = 0x4E00;
constexpr char kDoubleByteForm[] = "\x81\x40";

struct Launch {
    int64_t startMs;
    int32_t job;  // index of the job, from its command slot
    std::string program;
    std::string commandLine;
    std::string directory;  // "" when none was given
    std::string path;       // PATH the child inherited
    bool created;
    bool ended;
    bool terminated;
    uint32_t exitCode;
    int64_t endMs;
    bool suspended;    // not yet resumed
    bool inJobObject;  // in a job object of its run's own
    // A process the child started, which runs until something ends it.
    bool hasDescendant;
    bool descendantTerminated;
    uint32_t descendantExitCode;
    bool handlesOpen = false;  // its process handles, as Launches() finds them
};

// Points of a launch at which a stop can be injected.
enum class StopPoint {
    kNever,
    kThreadStarted,      // the worker exists, nothing created yet
    kChildBeingCreated,  // inside process creation
    kChildCreated,       // the child exists, the worker about to wait
};

// An entry of the event log.
struct Event {
    std::string source;
    uint32_t id;
    std::string text;
    int64_t ms;
    bool isError = false;  // an error entry, not a warning
};

struct Options {
    std::string executablePath = "C:\\jobs\\cycle_launch.exe";
    bool executablePathFits = true;
    std::string configDirectory;  // real folder standing for the program's
    // The current folder before the runner changes it, as a service's is.
    std::string startDirectory = "C:\\Windows\\System32\\";
    uint32_t changeDirectoryError = 0;  // making a folder current fails so
    bool runnerUnderWow64 = false;      // a 32-bit runner on 64-bit Windows
    uint32_t readError = 0;             // every file there that exists fails to read so
    int64_t lockedUntilMs = -1;         // until then another program holds every file there
    bool hasPath = true;
    std::string path = "C:\\Windows";
    int64_t childSeconds = 0;                                     // how long each child runs...
    std::vector<std::string> briefPrograms;                       // ...but these, which end at once
    std::vector<std::pair<std::string, int64_t>> programSeconds;  // ...and these, so long
    std::vector<std::string> missingPrograms;
    int64_t missingUntilMs = -1;      // from then on the missing programs exist...
    int64_t missingAgainFromMs = -1;  // ...and from then on they are gone again
    bool consoleSession = true;       // a console session takes the service's boxes
    bool childrenStartDescendants = false;
    bool jobObjectsRefused = false;  // no child can be put into a job object
    bool jobObjectsMissing = false;  // no job object can be created
    // A child can be created inside its job object, as from Windows 10 on.
    bool jobListAtCreation = true;
    // These end by themselves just as their limit's end reaches them.
    std::vector<std::string> endAsTheLimitComes;
    // The workers of these see their end only a moment later, after the
    // scheduler's next look.
    std::vector<std::string> lateEndReports;
    int64_t machineSleepsAtMs = -1;  // the machine sleeps then...
    int64_t machineSleepMs = 0;      // ...so long, which the awake clock does not count
    bool awakeTimeKnown = true;      // the platform tells the awake time (Windows 7 and later)
    // Called as the scheduler starts a row's worker, with the commands of
    // the workers whose runs go on.
    std::function<void(int32_t row, const std::vector<std::string>& going)> onRunStart;
    bool resumeFails = false;            // no suspended child can be let run
    bool desktopSeen = true;             // a person can see the foreground's boxes
    int failThreadStarts = 0;            // the next N thread starts fail...
    int64_t threadStartsFailFromMs = 0;  // ...from then on
    int64_t stopAtMs = -1;               // StopFlag set during the sleep reaching it...
    int32_t stopCause = kStopBySignal;   // ...for this cause
    bool stopOnLoaderWarning = false;
    int32_t utcOffsetMinutes = 60;  // local time's lead over UTC
    // Exit codes of programs that end by themselves; 0 for others.
    std::vector<std::pair<std::string, uint32_t>> exitCodes;
    int transientFailures = 0;            // the next N creations fail for want of resources...
    int64_t transientFailuresFromMs = 0;  // ...from then on
    // Creations of these programs take so many ms, as on a server that is off.
    std::vector<std::pair<std::string, int64_t>> slowCreations;
    std::vector<std::pair<std::string, std::string>> environment;  // beside PATH
    // Files in the program folder that a reader holds: they can't be
    // written, moved or deleted.
    std::vector<std::string> heldFiles;
    // Files there that a reader maps, as a viewer or a scanner does: they
    // can't be cut, nor moved or deleted.
    std::vector<std::string> mappedFiles;
    // Files there on failing sectors: they open, but no read of them works.
    std::vector<std::string> unreadableFiles;
    int64_t journalWriteMs = 0;       // each write to the journal takes this long, until the stop
    int64_t diskFullFromMs = -1;      // writes fail from then...
    int64_t diskFullUntilMs = -1;     // ...until then
    int64_t journalDeletedAtMs = -1;  // someone deletes the live journal then
    bool diskHangsAtStop = false;     // from the stop on, a write never returns
    // Until then standard error takes nothing: its writes block, as on a
    // pipe nobody reads. kNever: not in this case's life.
    int64_t standardErrorStuckUntilMs = -1;
    StopPoint stopAt = StopPoint::kNever;  // the first launch to reach it sets the StopFlag
    // The configuration file as an editor saves it: at each time, these
    // bytes replace it, or with kDeleted it is gone.
    std::vector<std::pair<int64_t, std::string>> configSaves;
    std::vector<int64_t> reloadRequestsAtMs;  // the service manager's paramchange
    // Reads of a thread of ours that begin in this span end with it.
    int64_t readsStallFromMs = -1;
    int64_t readStallMs = 0;
    // Files and folders, by full path, that everyone may write, as a folder
    // under C:\ is left; all others belong to SYSTEM, which alone may write.
    std::vector<std::string> unsafePaths;
    int64_t configUnsafeFromMs = -1;  // from then on the configuration is one of them
    // In this span another program holds the configuration open for
    // writing, sharing everything: opens that refuse writers fail.
    int64_t configWriterFromMs = -1;
    int64_t configWriterUntilMs = -1;
    uint32_t configLinks = 1;  // the configuration's hard links
    // Folders that lead elsewhere (a junction, a subst drive, a mapped
    // drive): a path under the first is really under the second.
    std::vector<std::pair<std::string, std::string>> realFolders;
    uint32_t realPathError = 0;           // where a folder really is can't be read
    bool allowUnsafePermissions = false;  // the administrator's registry override
};

constexpr char kDeleted[] = "<deleted>";
constexpr int64_t kNever = INT64_MAX;

constexpr uint32_t kRunnerPid = 4242;
// The exit code of a process ended by the close of its job object.
constexpr uint32_t kJobClosedExitCode = 0;

// Joins every worker left from the previous case, then starts afresh.
void Reset(const Options& options);
// The runner's process ends, once its threads have done what they were
// doing: its job objects close, ending what is in one that ends its
// processes at its close, and its threads do nothing more. Then the
// workers are joined; a child still running stays so.
void Finish();

int64_t NowMs();
std::vector<Launch> Launches();
std::vector<std::string> Warnings();  // boxes shown, which block their thread
std::vector<Event> Events();
std::vector<std::string> ConsoleMessages();  // boxes sent, which block nobody
std::vector<std::string> HandleErrors();     // handles used after closing, twice closed...
std::vector<std::string> ChangedDirectories();
int FileReads();

}  // namespace fake
