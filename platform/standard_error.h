// The process's standard error, where a foreground that nobody watches
// reports. It may be a pipe that nobody reads: a write can block for ever.
#pragma once

// Writes text whole, bypassing the C runtime's buffer, whose lock a blocked
// write would hold through the flush at exit. One thread writes at a time.
void WriteStandardError(const char* text);
