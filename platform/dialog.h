// The warning box: modal, no owner window, an OK button; it blocks the
// calling thread only, until someone dismisses it.
#pragma once

void ShowWarningBox(const char* caption, const char* text);

// True when a box shown here can reach a person: the process's window
// station is visible, and it is not in session 0, which nobody sees since
// Windows Vista. Elsewhere a box would wait for ever.
bool IsDesktopSeen();
