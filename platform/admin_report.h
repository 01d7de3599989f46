// Reports for an administrator, from a program whose own desktop nobody
// sees: an entry in the system's event log, and a box sent to the desktop of
// the user at the console. Neither waits for a person.
#pragma once

#include <cstdint>

// Readies the console messages; call once, before any thread that reports
// exists. False where they can't be had; the event log still can.
bool PrepareConsoleMessages();

// A warning entry of the event source, whose message eventId in the
// executable's message table shows text as it is.
void WriteWarningEvent(const char* source, uint32_t eventId, const char* text);

// An error entry of the event source, as WriteWarningEvent writes a warning.
void WriteErrorEvent(const char* source, uint32_t eventId, const char* text);

// Puts a box with caption and text on the console user's desktop and returns
// at once: nobody's answer is awaited. False when no session can be reached
// or the platform refused.
bool SendConsoleMessage(const char* caption, const char* text);
