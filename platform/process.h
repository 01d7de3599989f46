// Child processes: create one, wait for it, end it, let go of it; and the
// job object that holds a run's child with everything it starts.
#pragma once

#include <cstdint>

// A child of ours. The handles are the platform's own, kept opaque here;
// a null process handle means "no child", a null job object "none".
struct ChildProcess {
    void* process;
    void* thread;
    void* jobObject;
    uint32_t processId;
    uint32_t threadId;
};

// Decides, once, how children are created here: the way a 32-bit runner on
// 64-bit Windows reaches the System32 a job names, the NUL device that
// children get as standard handles, and whether a child breaks away from a
// job the runner is in so as to get one of its own. Call before the first
// CreateChild, while no other thread runs one. False where children can
// have no job object of their own (before Windows 8, in a job that lets
// none break away): their runs go on without.
bool PrepareChildCreation();

// Starts programPath (taken as it is: no search, no extension added; under
// System32 it is the real System32 even for a 32-bit runner on 64-bit
// Windows) with commandLine, with a console of its own that is never shown,
// standard input, output and error the NUL device and no other handle of
// ours, in workingDirectory or, when that is null, in ours, with the
// UTF-16 environment block given (see ReadEnvironmentBlock) or, when that
// is null, ours. A child created suspended runs only once ResumeChild lets it.
// Where the platform can, it is created inside jobObject (when not null),
// so that it is never in none: child->jobObject then names it. On failure
// *child is left without a process and *error holds the platform's reason.
bool CreateChild(const char* programPath, char* commandLine, const char* workingDirectory,
                 const uint16_t* environment, bool suspended, void* jobObject, ChildProcess* child,
                 uint32_t* error);

// True when a creation of programPath failed with error because it names
// the real System32 of a 32-bit runner on 64-bit Windows, where a 32-bit
// program of that name (in SysWOW64) was found before.
bool IsSystem32ProgramMissing(const char* programPath, uint32_t error);

// False with the platform's reason in *error.
bool ResumeChild(const ChildProcess& child, uint32_t* error);

// Blocks until the child has ended.
void WaitForChild(const ChildProcess& child);

bool HasChildEnded(const ChildProcess& child);

// The exit code of a child that has ended.
uint32_t ChildExitCode(const ChildProcess& child);

// Ends the child alone; failures are ignored.
void TerminateChild(const ChildProcess& child, uint32_t exitCode);

// Closes the child's handles, its job object's included, and clears the
// record. What is still in the job object runs on (KeepJobProcessesAtClose).
void ReleaseChild(ChildProcess* child);

// A job object for one run, whose processes may break away from it when
// they ask to, and which ends every process in it when its last handle
// closes: at the latest when the runner ends, by a crash or a kill too.
// Null when the platform can't give one.
void* CreateRunJobObject();

// From now on, closing the job object ends nothing: what is in it runs on.
// For a run whose child ended by itself. Null: nothing to do.
void KeepJobProcessesAtClose(void* jobObject);

// Puts a suspended child into jobObject, so that what it starts joins it
// too. False when the platform refuses, e.g. where a process can be in one
// job only and the child is in one already.
bool AddChildToJobObject(void* jobObject, const ChildProcess& child);

// Ends every process in the job object; failures are ignored.
void TerminateRunJobObject(void* jobObject, uint32_t exitCode);

// Closes a job object that holds no child of ours; were one in it, it
// would run on.
void ReleaseJobObject(void* jobObject);
