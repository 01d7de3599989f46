// Threads, and the locks the runner needs.
#pragma once

#include <cstdint>

using ThreadBody = void (*)(int32_t argument);

// Starts body(argument) on a new thread that nobody joins.
// False when the thread could not be created.
bool StartThread(ThreadBody body, int32_t argument);

// Starts the journal's writer, which lives until the process ends or it
// returns. False when the thread could not be created.
bool StartWriterThread(ThreadBody body);

// The configuration reader's wake-up call from the scheduler, and its wait
// for it, which has no time limit.
void WakeConfigReader();
void WaitForConfigReadRequest();

// The journal's queue: a lock held only to copy a record in or out, and the
// writer's wake-up call.
void EnterJournalLock();
void LeaveJournalLock();
void WakeJournalWriter();
// True when woken, false when timeoutMs passed first.
bool WaitForJournalWork(uint32_t timeoutMs);
// The writer's word that the queue is written out, awaited at stop.
void SignalJournalDrained();
bool WaitForJournalDrained(uint32_t timeoutMs);

// The word of the standard error's writer that it has nothing left,
// awaited at exit.
void SignalWarningsWritten();
bool WaitForWarningsWritten(uint32_t timeoutMs);

// Guards the counts of warnings reported. Held for a few instructions only,
// never around a report.
void EnterReportLock();
void LeaveReportLock();
