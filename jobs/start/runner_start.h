// The start of either role: its files judged before anything else, then
// its journal.
#pragma once

#include "jobs/report/journal.h"
#include "jobs/start/permissions.h"

// Judges the runner's files and opens the role's journal. Not kNone when
// the runner must not run: the refusal is reported (its line for standard error
// let out, waiting at most kWarningsFlushMs), and where the runner's
// folder is sound its journal ends with a stop record, so that the next
// start finds a clean end. An administrator's override turns the refusal
// into a warning, told at every start while it is set.
Refusal StartRunner(JournalRole role);
