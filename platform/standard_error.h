// The process's standard error, where a foreground that nobody watches
// reports. It may be a pipe that nobody reads: a write can block for ever.
#pragma once

// Writes text as one piece, bypassing the C runtime's buffer, whose lock a
// blocked write would hold through the flush at exit.
void WriteStandardError(const char* text);
