// One run of one job, on a worker thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process.h"

// The platform's limit for one environment variable's value, zero included.
constexpr size_t kMaxPathValue = 32767;

// Every child gets an environment block of its own, in UTF-16, made from
// the one this process had at start, which is never written. The start
// block and each row's launch buffer hold at most kEnvironmentBlockUnits
// units (Windows XP's bound for a whole block), so no PATH in one passes
// kMaxPathValue. Where a child's block would not fit even with the default
// search list, it gets the start environment as it stands, without its
// folder on PATH.
constexpr size_t kEnvironmentBlockUnits = 32767;

// Keeps the environment this process had at start: every child's is
// composed from it, so launches do not pile directories onto one another.
// False when it is too large to keep: children then get it as it stands.
bool CaptureStartBlock();

// The environment block of a child of jobDirectory (in the ANSI code page),
// in kEnvironmentBlockUnits units at block: startBlock with its PATH set to
// the start value, ";" and the directory; or, where the start value is
// empty or that would not fit, to the default search list followed by the
// directory. A start block without PATH gets one where Windows' order of
// names puts it. False when neither fits.
bool ComposeChildBlock(const uint16_t* startBlock, const char* jobDirectory, uint16_t* block);

// True for an error that says nothing about the program, only that the
// system lacked something for a moment: such a launch is tried once more.
bool IsTransientLaunchError(uint32_t error);

// Ends the run's whole tree: its job object where it has one, else the
// child alone.
void EndRunTree(const ChildProcess& child, uint32_t exitCode);

// The worker of one run of a row: splits the run's command, starts its
// child in the program's directory with that directory on its PATH, waits
// for it, and tells each step through the run's progress word. It takes
// no lock and closes no handle of the run: the scheduler does, once told.
void JobWorker(int32_t index);
