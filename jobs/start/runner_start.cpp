#include "jobs/start/runner_start.h"

#include <cstdio>
#include <cstring>

#include "jobs/config/config_file.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "jobs/start/permissions.h"
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
