#include "jobs/runner_start.h"

#include <cstdio>
#include <cstring>

#include "jobs/permissions.h"
#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/process.h"
#include "platform/security.h"

namespace {

char AllowedReport[kStartReportSize];

}  // namespace

Refusal StartRunner(JournalRole role) {
    StartCheck check = CheckRunnerFiles();
    bool allowed = HasFileSecurity() && IsUnsafePermissionsAllowed();
    if (check != StartCheck::kPassed && !allowed) {
        RaiseRefusal(StartCheckReport());
        // A journal in a folder others can change could be theirs.
        if (check == StartCheck::kConfigurationFails) {
            OpenJournal(role);
            JournalRunnerNote(StartCheckReport());
            JournalRunnerStop(StartCheckRefusal() == Refusal::kConfigurationHeldOpen
                                  ? texts::kStopConfigurationHeldOpen
                                  : texts::kStopUnsafeConfiguration,
                              0);
            CloseJournal();
        }
        // The exit follows: a standard error nobody reads holds it a bounded time.
        FlushWarnings();
        return StartCheckRefusal();
    }
    if (allowed) {
        // The findings without the refusal's heading: the runner runs.
        const char* findings = std::strchr(StartCheckReport(), '\n');
        std::snprintf(AllowedReport, sizeof AllowedReport, "%s%s", texts::kUnsafeAllowed,
                      findings == nullptr ? "" : findings);
        RaiseUnsafeAllowed(AllowedReport);
    }
    OpenJournal(role);
    if (allowed) JournalRunnerNote(AllowedReport);
    // Before any worker exists.
    if (!PrepareChildCreation()) JournalRunnerNote(texts::kNoJobObjectsOfTheirOwn);
    return Refusal::kNone;
}
