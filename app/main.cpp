// Decides which role this start is for: the service the Service Control
// Manager is starting, an installer action, or the runner in the foreground.
#include "app/options.h"
#include "jobs/engine/job_table.h"
#include "jobs/engine/scheduler.h"
#include "jobs/report/journal.h"
#include "jobs/report/warnings.h"
#include "jobs/start/runner_start.h"
#include "platform/system.h"
#include "service/service.h"

int main(int argc, char** argv) {
    if (IsNtPlatform() && IsServiceStartPending() && RunServiceDispatcher()) return 0;

    for (;;) {
        switch (NextOption(argc, argv, kOptionLetters)) {
        case 'a':
            InstallService();
            return 0;
        case 'h':
            PrintUsage();
            return 0;
        case 'r':
            RemoveService();
            return 0;
        case -1:
            ResetJobTable();
            SetWarningRole(WarningRole::kForeground);
            // A refusal is no success.
            if (StartRunner(JournalRole::kForeground) != Refusal::kNone) return 1;
            RunScheduler(nullptr);
            CloseJournal();
            FlushWarnings();
            return 0;
        default:  // 'D' asks for the foreground, which is what remains
            break;
        }
    }
}
