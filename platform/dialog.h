// The warning box: modal, no owner window, an OK button; it blocks the
// calling thread only, until someone dismisses it.
#pragma once

void ShowWarningBox(const char* caption, const char* text);
