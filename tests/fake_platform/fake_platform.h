// A deterministic stand-in for the operating system. Its ANSI code page is
// Latin-1.
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
#include <vector>

namespace fake {

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
    bool suspended;  // not yet resumed
    bool inJobObject;  // in a job object of its run's own
    // A process the child started, which runs until something ends it.
    bool hasDescendant;
    bool descendantTerminated;
    uint32_t descendantExitCode;
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
};

struct Options {
    std::string executablePath = "C:\\jobs\\cycle_launch.exe";
    bool executablePathFits = true;
    std::string configDirectory;  // real folder standing for the program's
    bool hasPath = true;
    std::string path = "C:\\Windows";
    int64_t childSeconds = 0;  // how long each child runs...
    std::vector<std::string> briefPrograms;  // ...but these, which end at once
    std::vector<std::string> missingPrograms;
    int64_t missingUntilMs = -1;     // from then on the missing programs exist...
    int64_t missingAgainFromMs = -1;  // ...and from then on they are gone again
    bool consoleSession = true;      // a console session takes the service's boxes
    bool childrenStartDescendants = false;
    bool jobObjectsRefused = false;  // no child can be put into a job object
    bool jobObjectsMissing = false;  // no job object can be created
    bool resumeFails = false;        // no suspended child can be let run
    bool desktopSeen = true;         // a person can see the foreground's boxes
    int failThreadStarts = 0;        // the next N thread starts fail
    int64_t stopAtMs = -1;           // StopFlag set during the sleep reaching it
    bool stopOnLoaderWarning = false;
    int32_t utcOffsetMinutes = 60;   // local time's lead over UTC
    StopPoint stopAt = StopPoint::kNever;  // the first launch to reach it sets the StopFlag
};

// Joins every worker left from the previous case, then starts afresh.
void Reset(const Options& options);
// Lets every child still running end, and joins the workers.
void Finish();

int64_t NowMs();
std::vector<Launch> Launches();
std::vector<std::string> Warnings();  // boxes shown, which block their thread
std::vector<Event> Events();
std::vector<std::string> ConsoleMessages();  // boxes sent, which block nobody
std::vector<std::string> HandleErrors();  // handles used after closing, twice closed...
std::vector<std::string> ChangedDirectories();

}  // namespace fake
