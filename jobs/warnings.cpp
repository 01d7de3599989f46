#include "jobs/warnings.h"

#include <cstdio>

#include "jobs/job_table.h"
#include "jobs/texts.h"
#include "platform/admin_report.h"
#include "platform/dialog.h"

namespace {

// Written before any worker exists.
WarningRole Role = WarningRole::kForeground;

void ReportToAdministrator(WarningEvent event, const char* text) {
    WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(event), text);
    // Without a session to reach, the event log entry is the whole report.
    SendConsoleMessage(texts::kWarningCaption, text);
}

}  // namespace

void SetWarningRole(WarningRole role) { Role = role; }

void RaiseWarning(WarningEvent event, const char* text) {
    if (Role == WarningRole::kService) {
        ReportToAdministrator(event, text);
    } else {
        ShowWarningBox(texts::kWarningCaption, text);
    }
}

void RaiseFormatWarnings(const FormatErrors& errors) {
    for (int32_t i = 0; i < errors.count; ++i) {
        RaiseWarning(WarningEvent::kConfigFormatError, texts::kConfigFormatError);
    }
}

void RaiseJournalNotice(const char* text) {
    if (Role == WarningRole::kService) {
        WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(WarningEvent::kJournalUnavailable),
                          text);
    } else {
        std::fprintf(stderr, "%s\n", text);
    }
}

void RaiseJobWarning(int32_t job, const char* text) {
    if (Role == WarningRole::kService) {
        if (LaunchWarningReported[job]) return;
        LaunchWarningReported[job] = true;
    }
    RaiseWarning(WarningEvent::kLaunchError, text);
}

void ClearJobWarning(int32_t job) { LaunchWarningReported[job] = false; }
