#include "jobs/report/warnings.h"

#include <cstdio>
#include <cstring>

#include "jobs/job_types.h"
#include "jobs/report/bounded_text.h"
#include "jobs/report/texts.h"
#include "platform/admin_report.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/standard_error.h"
#include "platform/threads.h"

namespace {

// A job's launch warning has been reported to an administrator and not yet
// followed by a successful start. Touched only by the row's worker, and by
// the scheduler when no worker holds the row.
bool LaunchWarningReported[kMaxJobs];

enum class Audience {
    kPerson,         // a box that waits for OK
    kAdministrator,  // the event log and the console user's desktop
    kRemoteReader,   // the event log and standard error
};

// Written before any worker exists.
Audience Target = Audience::kPerson;

// Room for a launch warning (a program path in its format) and a summary of
// format warnings, with the line's own text around it.
constexpr size_t kReportSize = 1100;

// The launch warnings of the current window. Under the report lock.
struct LaunchReports {
    bool windowOpen;
    uint64_t windowStartMs;
    int32_t events;
    int32_t boxes;
    int32_t heldBackEvents;
    int32_t heldBackBoxes;
};
LaunchReports Reports;

// What one call reports, decided under the lock and done outside it.
struct ReportPlan {
    bool raiseHeldBack;
    int32_t heldBackEvents;
    int32_t heldBackBoxes;
    bool writeEvent;
    bool sendBox;
};

// Under the report lock. A passed window makes way for a new one, which
// opens with the count of what the old one held back, if anything was.
void RenewWindowIfPassed(uint64_t nowMs, bool reporting, ReportPlan* plan) {
    if (Reports.windowOpen && nowMs - Reports.windowStartMs < kWarningWindowMilliseconds) return;
    bool heldBack = Reports.heldBackEvents > 0 || Reports.heldBackBoxes > 0;
    plan->raiseHeldBack = heldBack;
    plan->heldBackEvents = Reports.heldBackEvents;
    plan->heldBackBoxes = Reports.heldBackBoxes;
    Reports = LaunchReports{};
    if (heldBack || reporting) {
        Reports.windowOpen = true;
        Reports.windowStartMs = nowMs;
        Reports.events = heldBack ? 1 : 0;
    }
}

void RaiseHeldBack(const ReportPlan& plan) {
    if (!plan.raiseHeldBack) return;
    char text[kReportSize];
    std::snprintf(text, sizeof text, texts::kWarningsHeldBackFormat, plan.heldBackEvents,
                  plan.heldBackBoxes);
    WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(WarningEvent::kWarningsHeldBack),
                      text);
}

// The held-back entry being written, on a thread of its own. Under the
// report lock.
bool RaisingHeldBack;
ReportPlan HeldBack;

void RaiseHeldBackOnItsOwn(int32_t) {
    EnterReportLock();
    ReportPlan plan = HeldBack;
    LeaveReportLock();
    RaiseHeldBack(plan);
    EnterReportLock();
    RaisingHeldBack = false;
    LeaveReportLock();
}

// A rejected version of the configuration being told. Under the report lock.
bool RaisingRejection;
char Rejection[kReportSize];
// The rejected versions of the current window. Under the report lock.
struct RejectionReports {
    bool windowOpen;
    uint64_t windowStartMs;
    int32_t told;
    int32_t heldBack;
};
RejectionReports Rejections;

void WriteWarningLine(const char* text);

void RaiseRejectionOnItsOwn(int32_t) {
    char text[kReportSize];
    EnterReportLock();
    std::snprintf(text, sizeof text, "%s", Rejection);
    LeaveReportLock();
    if (Target != Audience::kPerson) {
        WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(WarningEvent::kReloadRejected),
                          text);
    }
    if (Target != Audience::kAdministrator) WriteWarningLine(text);
    EnterReportLock();
    RaisingRejection = false;
    LeaveReportLock();
}

// --- Standard error: lines in from any thread, out through a writer of
// its own, since a pipe that nobody reads blocks whoever writes to it.
// Under the report lock.
char ErrorLines[kStandardErrorLines][kReportSize];
int32_t ErrorHead;
int32_t ErrorCount;
uint32_t ErrorLinesDropped;
bool ErrorWriterRunning;
bool ErrorFlushAwaited;
// The start's report, written before any queued line; the writer reads it
// outside the lock, and only it clears StartReportWaiting.
char StartReportLine[kStartReportSize + sizeof texts::kWarningLineFormat];
bool StartReportWaiting;

// Takes the next line to write into line; false, with the writer marked
// gone, when there is none. Under the report lock.
bool TakeErrorLine(char* line, size_t size) {
    if (ErrorCount > 0) {
        std::snprintf(line, size, "%s", ErrorLines[ErrorHead]);
        ErrorHead = (ErrorHead + 1) % kStandardErrorLines;
        --ErrorCount;
        return true;
    }
    if (ErrorLinesDropped > 0) {
        char text[kReportSize];
        std::snprintf(text, sizeof text, texts::kWarningLinesDroppedFormat,
                      static_cast<unsigned long>(ErrorLinesDropped));
        std::snprintf(line, size, texts::kWarningLineFormat, text);
        ErrorLinesDropped = 0;
        return true;
    }
    ErrorWriterRunning = false;
    return false;
}

void WriteErrorLines(int32_t) {
    char line[kReportSize];
    for (;;) {
        EnterReportLock();
        bool startReport = StartReportWaiting;
        bool taken = startReport || TakeErrorLine(line, sizeof line);
        bool awaited = !taken && ErrorFlushAwaited;
        LeaveReportLock();
        if (!taken) {
            if (awaited) SignalWarningsWritten();
            return;
        }
        if (!startReport) {
            WriteStandardError(line);
            continue;
        }
        WriteStandardError(StartReportLine);
        EnterReportLock();
        StartReportWaiting = false;
        LeaveReportLock();
    }
}

// Starts the writer where it isn't running and lines wait. Under the
// report lock; true when it must be started.
bool ErrorWriterWanted() {
    if (ErrorWriterRunning || (ErrorCount == 0 && ErrorLinesDropped == 0 && !StartReportWaiting)) {
        return false;
    }
    ErrorWriterRunning = true;
    return true;
}

void StartErrorWriter() {
    if (StartThread(WriteErrorLines, 0)) return;
    // The lines wait for the next one, or for the flush at exit.
    EnterReportLock();
    ErrorWriterRunning = false;
    LeaveReportLock();
}

// Queues one line, so that lines of concurrent workers don't interleave;
// a full queue counts what it drops and says so once it has room.
void WriteWarningLine(const char* text) {
    EnterReportLock();
    if (ErrorCount < kStandardErrorLines) {
        std::snprintf(ErrorLines[(ErrorHead + ErrorCount) % kStandardErrorLines], kReportSize,
                      texts::kWarningLineFormat, text);
        ++ErrorCount;
    } else {
        ++ErrorLinesDropped;
    }
    bool start = ErrorWriterWanted();
    LeaveReportLock();
    if (start) StartErrorWriter();
}

// The start's report, too long for the queue's lines, in a room of its own.
void WriteStartReportLine(const char* text) {
    EnterReportLock();
    if (StartReportWaiting) {
        ++ErrorLinesDropped;
    } else {
        std::snprintf(StartReportLine, sizeof StartReportLine, texts::kWarningLineFormat, text);
        StartReportWaiting = true;
    }
    bool start = ErrorWriterWanted();
    LeaveReportLock();
    if (start) StartErrorWriter();
}

}  // namespace

void SetWarningRole(WarningRole role) {
    // No worker exists yet: no job has a warning told.
    std::memset(LaunchWarningReported, 0, sizeof LaunchWarningReported);
    if (role == WarningRole::kService) {
        Target = Audience::kAdministrator;
    } else {
        Target = IsDesktopSeen() ? Audience::kPerson : Audience::kRemoteReader;
    }
    Reports = LaunchReports{};
    RaisingHeldBack = false;
    RaisingRejection = false;
    ErrorHead = ErrorCount = 0;
    ErrorLinesDropped = 0;
    ErrorWriterRunning = ErrorFlushAwaited = false;
    StartReportWaiting = false;
}

bool FlushWarnings() {
    EnterReportLock();
    bool start = ErrorWriterWanted();
    bool idle = !ErrorWriterRunning;
    ErrorFlushAwaited = !idle;
    LeaveReportLock();
    if (start) StartErrorWriter();
    if (idle) return true;
    WaitForWarningsWritten(kWarningsFlushMs);
    EnterReportLock();
    idle = !ErrorWriterRunning;
    ErrorFlushAwaited = false;
    LeaveReportLock();
    return idle;
}

void RaiseWarning(WarningEvent event, const char* text) {
    switch (Target) {
    case Audience::kPerson:
        ShowWarningBox(texts::kWarningCaption, text);
        break;
    case Audience::kAdministrator:
        WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(event), text);
        // Without a session to reach, the event log entry is the whole report.
        SendConsoleMessage(texts::kWarningCaption, text);
        break;
    case Audience::kRemoteReader:
        WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(event), text);
        WriteWarningLine(text);
        break;
    }
}

void RaiseFormatWarnings(const FormatErrors& errors) {
    if (errors.count <= 0) return;
    if (Target == Audience::kPerson) {
        for (int32_t i = 0; i < errors.count; ++i) {
            ShowWarningBox(texts::kWarningCaption, texts::kConfigFormatError);
        }
        return;
    }
    char summary[kReportSize];
    ComposeFormatSummary(errors, summary, sizeof summary);
    RaiseWarning(WarningEvent::kConfigFormatError, summary);
}

void ComposeFormatSummary(const FormatErrors& errors, char* text, size_t size) {
    size_t at = 0;
    text[0] = '\0';
    AppendFormat(text, size, &at, texts::kFormatErrorCountFormat, texts::kConfigFormatError,
                 static_cast<long>(errors.count));
    AppendFormatErrorLines(errors, text, size, &at);
    AppendFormat(text, size, &at, "%s", texts::kFormatErrorListEnd);
}

void AppendFormatErrorLines(const FormatErrors& errors, char* text, size_t size, size_t* at) {
    int32_t listed = errors.count < kListedFormatErrors ? errors.count : kListedFormatErrors;
    for (int32_t i = 0; i < listed; ++i) {
        AppendFormat(text, size, at, texts::kFormatErrorLineFormat,
                     i == 0 ? "" : texts::kFormatErrorLineSeparator,
                     static_cast<long>(errors.lines[i]));
    }
    if (errors.count > listed) AppendFormat(text, size, at, "%s", texts::kFormatErrorMoreLines);
}

namespace {

// Hands text to the rejection's own thread, if that is free. Under the
// report lock; false when the text must wait.
bool HandRejection(const char* text) {
    if (RaisingRejection) return false;
    RaisingRejection = true;
    std::snprintf(Rejection, sizeof Rejection, "%s", text);
    return true;
}

void StartRaisingRejection() {
    if (StartThread(RaiseRejectionOnItsOwn, 0)) return;
    EnterReportLock();
    RaisingRejection = false;
    LeaveReportLock();
}

// Under the report lock. A passed window with nothing held back closes; one
// that held something back stays until its count is told.
void CloseRejectionWindowIfPassed(uint64_t nowMs) {
    if (Rejections.windowOpen && Rejections.heldBack == 0 &&
        nowMs - Rejections.windowStartMs >= kRejectionWindowMilliseconds) {
        Rejections = RejectionReports{};
    }
}

}  // namespace

void RaiseReloadRejected(const char* text) {
    // Told from the scheduler's thread, which must not wait for the event
    // log's process nor for a console: on a thread of its own. One at a
    // time; the journal has each of them anyway.
    uint64_t nowMs = MonotonicMilliseconds();
    EnterReportLock();
    CloseRejectionWindowIfPassed(nowMs);
    if (!Rejections.windowOpen) {
        Rejections.windowOpen = true;
        Rejections.windowStartMs = nowMs;
    }
    // One still on its way counts as held back: none goes untold.
    bool handed = Rejections.told < kRejectionsPerWindow && HandRejection(text);
    if (handed) {
        ++Rejections.told;
    } else {
        ++Rejections.heldBack;
    }
    LeaveReportLock();
    if (handed) StartRaisingRejection();
}

void RaiseRefusal(const char* text) {
    constexpr uint32_t event = static_cast<uint32_t>(WarningEvent::kUnsafePermissions);
    switch (Target) {
    case Audience::kPerson:
        ShowWarningBox(texts::kWarningCaption, text);
        break;
    case Audience::kAdministrator:
        WriteErrorEvent(texts::kEventSource, event, text);
        SendConsoleMessage(texts::kWarningCaption, text);
        break;
    case Audience::kRemoteReader:
        WriteErrorEvent(texts::kEventSource, event, text);
        WriteStartReportLine(text);
        break;
    }
}

void RaiseUnsafeAllowed(const char* text) {
    WriteWarningEvent(texts::kEventSource,
                      static_cast<uint32_t>(WarningEvent::kUnsafePermissionsAllowed), text);
    if (Target != Audience::kAdministrator) WriteStartReportLine(text);
}

namespace {

// At a tick: once the window has passed, the count of what it held back,
// in one entry that opens the next window.
void RaiseHeldBackRejections(uint64_t nowMs) {
    EnterReportLock();
    bool due = Rejections.windowOpen && Rejections.heldBack > 0 &&
               nowMs - Rejections.windowStartMs >= kRejectionWindowMilliseconds;
    bool handed = false;
    if (due) {
        char text[kReportSize];
        std::snprintf(text, sizeof text, texts::kReloadRejectionsHeldBackFormat,
                      static_cast<long>(Rejections.heldBack));
        handed = HandRejection(text);
        if (handed) Rejections = RejectionReports{true, nowMs, 1, 0};
    }
    LeaveReportLock();
    if (handed) StartRaisingRejection();
}

}  // namespace

void RaiseJournalNotice(const char* text) {
    RaiseRunnerNotice(WarningEvent::kJournalUnavailable, text);
}

void RaiseRunnerNotice(WarningEvent event, const char* text) {
    if (Target != Audience::kPerson) {
        WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(event), text);
    }
    if (Target != Audience::kAdministrator) WriteWarningLine(text);
}

namespace {

// One report of a job's to an administrator: an event log entry and, when
// withBox, the console user's box, each within its limit per minute.
void ReportToAdministrator(WarningEvent event, const char* text, bool withBox) {
    uint64_t nowMs = MonotonicMilliseconds();
    ReportPlan plan = {};
    EnterReportLock();
    RenewWindowIfPassed(nowMs, true, &plan);
    if (Reports.events < kLaunchEventsPerWindow) {
        ++Reports.events;
        plan.writeEvent = true;
    } else {
        ++Reports.heldBackEvents;
    }
    if (withBox) {
        if (Reports.boxes < kConsoleBoxesPerWindow) {
            ++Reports.boxes;
            plan.sendBox = true;
        } else {
            ++Reports.heldBackBoxes;
        }
    }
    LeaveReportLock();

    RaiseHeldBack(plan);
    if (plan.writeEvent) {
        WriteWarningEvent(texts::kEventSource, static_cast<uint32_t>(event), text);
    }
    if (plan.sendBox) SendConsoleMessage(texts::kWarningCaption, text);
}

}  // namespace

void RaiseJobWarning(int32_t row, const char* text, const char* reason) {
    if (Target == Audience::kPerson) {
        ShowWarningBox(texts::kWarningCaption, text);
        return;
    }
    if (LaunchWarningReported[row]) return;
    LaunchWarningReported[row] = true;
    // Written for an administrator, the warning says why as well.
    char explained[kReportSize];
    if (reason[0] != '\0') {
        std::snprintf(explained, sizeof explained, texts::kLaunchReasonFormat, text, reason);
        text = explained;
    }
    // Standard error takes every one: nobody has to dismiss it.
    if (Target == Audience::kRemoteReader) WriteWarningLine(text);
    ReportToAdministrator(WarningEvent::kLaunchError, text, Target == Audience::kAdministrator);
}

void RaiseLimitWarning(int32_t line, const char* program, int32_t limitSeconds) {
    char text[kReportSize];
    std::snprintf(text, sizeof text, texts::kRunLimitFormat, program, static_cast<long>(line),
                  static_cast<long>(limitSeconds));
    if (Target != Audience::kAdministrator) WriteWarningLine(text);
    if (Target != Audience::kPerson) ReportToAdministrator(WarningEvent::kRunLimit, text, false);
}

void ClearJobWarning(int32_t row) { LaunchWarningReported[row] = false; }

void RaiseHeldBackWarnings() {
    uint64_t nowMs = MonotonicMilliseconds();
    RaiseHeldBackRejections(nowMs);
    if (Target == Audience::kPerson) return;
    ReportPlan plan = {};
    EnterReportLock();
    RenewWindowIfPassed(nowMs, false, &plan);
    bool start = plan.raiseHeldBack && !RaisingHeldBack;
    if (start) {
        RaisingHeldBack = true;
        HeldBack = plan;
    } else if (plan.raiseHeldBack) {
        // The last entry is still on its way: this one's counts wait for the next.
        Reports.heldBackEvents += plan.heldBackEvents;
        Reports.heldBackBoxes += plan.heldBackBoxes;
    }
    LeaveReportLock();
    // The event log is another process: the tick never waits for it.
    if (start && !StartThread(RaiseHeldBackOnItsOwn, 0)) {
        EnterReportLock();
        RaisingHeldBack = false;
        Reports.heldBackEvents += plan.heldBackEvents;
        Reports.heldBackBoxes += plan.heldBackBoxes;
        LeaveReportLock();
    }
}
