// Threads, and the locks the runner needs.
#pragma once

#include <cstdint>

using ThreadBody = void (*)(int32_t argument);

// Starts body(argument) on a new thread that nobody joins.
// False when the thread could not be created.
bool StartThread(ThreadBody body, int32_t argument);

// One process-wide lock that keeps launches and the stop's sweep apart.
void EnterLaunchLock();
void LeaveLaunchLock();

// Guards the counts of warnings reported. Held for a few instructions only,
// never around a report.
void EnterReportLock();
void LeaveReportLock();
