#include "jobs/report/warnings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/engine/scheduler.h"
#include "platform/clock.h"
#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/program_folder.h"

namespace {

constexpr char kFormatError[] = "Config File (cycle_launch.txt) Format Error";
using Texts = std::vector<std::string>;

struct FormatWarningCase {
    const char* name;
    WarningRole role;
    bool desktopSeen;
    std::vector<int32_t> lines;  // the listed line numbers
    int32_t count;
    Texts boxes;   // shown, waiting for OK
    Texts events;  // of event ID 2
    Texts consoleBoxes;
    std::string standardError;
};

class FormatWarningsTest : public ProgramFolderTest,
                           public testing::WithParamInterface<FormatWarningCase> {};

TEST_P(FormatWarningsTest, OneLoadMakesOneReportUnlessAPersonSeesTheBoxes) {
    const FormatWarningCase& c = GetParam();
    options_.desktopSeen = c.desktopSeen;
    fake::Reset(options_);
    SetWarningRole(c.role);
    FormatErrors errors = {};
    errors.count = c.count;
    for (size_t i = 0; i < c.lines.size(); ++i) errors.lines[i] = c.lines[i];

    testing::internal::CaptureStderr();
    RaiseFormatWarnings(errors);
    EXPECT_TRUE(FlushWarnings());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.standardError);
    EXPECT_EQ(fake::Warnings(), c.boxes);
    Texts events;
    for (const auto& event : fake::Events()) {
        EXPECT_EQ(event.id, static_cast<uint32_t>(WarningEvent::kConfigFormatError));
        events.push_back(event.text);
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(fake::ConsoleMessages(), c.consoleBoxes);
}

std::vector<int32_t> FirstLines(int32_t count) {
    std::vector<int32_t> lines;
    for (int32_t i = 1; i <= count; ++i) lines.push_back(i);
    return lines;
}

const std::string kTwentyListed =
    "1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20";

INSTANTIATE_TEST_SUITE_P(
    Table, FormatWarningsTest,
    testing::Values(
        FormatWarningCase{"SeenForegroundOneBoxPerLine",
                          WarningRole::kForeground,
                          true,
                          {2, 5, 9},
                          3,
                          Texts(3, kFormatError),
                          {},
                          {},
                          ""},
        FormatWarningCase{
            "ServiceTwoHundredLines",
            WarningRole::kService,
            true,
            FirstLines(20),
            200,
            {},
            {std::string(kFormatError) + " (count 200; lines " + kTwentyListed + ", ...)"},
            {std::string(kFormatError) + " (count 200; lines " + kTwentyListed + ", ...)"},
            ""},
        FormatWarningCase{"ServiceTwentyLinesAllListed",
                          WarningRole::kService,
                          true,
                          FirstLines(20),
                          20,
                          {},
                          {std::string(kFormatError) + " (count 20; lines " + kTwentyListed + ")"},
                          {std::string(kFormatError) + " (count 20; lines " + kTwentyListed + ")"},
                          ""},
        FormatWarningCase{
            "ForegroundNobodySees",
            WarningRole::kForeground,
            false,
            {3, 7},
            2,
            {},
            {std::string(kFormatError) + " (count 2; lines 3, 7)"},
            {},
            std::string("Cycle_launch: ") + kFormatError + " (count 2; lines 3, 7)\n"},
        FormatWarningCase{"NoErrorsNoReport", WarningRole::kService, true, {}, 0, {}, {}, {}, ""}),
    [](const testing::TestParamInfo<FormatWarningCase>& info) { return info.param.name; });

// A run ended at its limit: never a box, and its event log entries share
// the launch warnings' limit per minute, without taking a console box.
struct LimitWarningCase {
    const char* name;
    WarningRole role;
    bool desktopSeen;
    int32_t launchWarnings;  // raised before the limit warnings
    int32_t limitWarnings;
    size_t launchEvents;
    size_t limitEvents;
    size_t consoleBoxes;
    std::string heldBack;  // the entry a minute later; "" for none
    size_t standardErrorLines;
};

void PrintTo(const LimitWarningCase& c, std::ostream* out) { *out << c.name; }

class LimitWarningTest : public ProgramFolderTest,
                         public testing::WithParamInterface<LimitWarningCase> {};

TEST_P(LimitWarningTest, IsNeverABoxAndCountsWithTheLaunchWarnings) {
    const LimitWarningCase& c = GetParam();
    const std::string told = "Command (C:\\t\\hang.exe) on line 3 ended at its limit of 3 s";
    options_.desktopSeen = c.desktopSeen;
    fake::Reset(options_);
    SetWarningRole(c.role);
    testing::internal::CaptureStderr();
    for (int32_t job = 0; job < c.launchWarnings; ++job) {
        RaiseJobWarning(job, "Command (Z:\\gone.exe) Execution Error", "");
    }
    for (int32_t i = 0; i < c.limitWarnings; ++i) RaiseLimitWarning(3, "C:\\t\\hang.exe", 3);
    SleepMilliseconds(static_cast<uint32_t>(kWarningWindowMilliseconds));
    RaiseHeldBackWarnings();
    // Joins the writers of standard error and of the held-back entry alike.
    fake::Finish();
    std::string said = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_EQ(fake::ConsoleMessages().size(), c.consoleBoxes);
    size_t launchEvents = 0;
    size_t limitEvents = 0;
    std::vector<std::string> heldBack;
    for (const auto& event : fake::Events()) {
        switch (static_cast<WarningEvent>(event.id)) {
        case WarningEvent::kLaunchError:
            ++launchEvents;
            break;
        case WarningEvent::kRunLimit:
            ++limitEvents;
            EXPECT_EQ(event.text, told);
            EXPECT_EQ(event.ms, 0);
            break;
        case WarningEvent::kWarningsHeldBack:
            heldBack.push_back(event.text);
            break;
        default:
            ADD_FAILURE() << event.id << ": " << event.text;
        }
    }
    EXPECT_EQ(launchEvents, c.launchEvents);
    EXPECT_EQ(limitEvents, c.limitEvents);
    EXPECT_EQ(heldBack, c.heldBack.empty() ? std::vector<std::string>{}
                                           : std::vector<std::string>{c.heldBack});
    std::string lines;
    for (size_t i = 0; i < c.standardErrorLines; ++i) lines += "Cycle_launch: " + told + "\n";
    EXPECT_EQ(said, lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LimitWarningTest,
    testing::Values(
        LimitWarningCase{"Service", WarningRole::kService, true, 4, 8, 4, 6, 1,
                         "Launch warnings held back: 2 from the event log, 3 from the console", 0},
        LimitWarningCase{"ServiceWithinTheLimit", WarningRole::kService, true, 0, 10, 0, 10, 0, "",
                         0},
        LimitWarningCase{"ForegroundNobodySees", WarningRole::kForeground, false, 0, 12, 0, 10, 0,
                         "Launch warnings held back: 2 from the event log, 0 from the console", 12},
        LimitWarningCase{"ForegroundSeen", WarningRole::kForeground, true, 0, 12, 0, 0, 0, "", 12}),
    [](const testing::TestParamInfo<LimitWarningCase>& info) { return info.param.name; });

// A standard error nobody reads (a pipe left full): workers and the tick
// only queue their lines, so every job keeps its rhythm, the event log still
// hears of every failure, and the exit waits for the lines a bounded time.
// Once it takes lines again, what the queue could not hold is told as a count.
class StuckStandardErrorTest : public ProgramFolderTest,
                               public testing::WithParamInterface<int64_t> {};

TEST_P(StuckStandardErrorTest, HoldsUpNoJobAndNoStop) {
    constexpr int kMissing = 100;
    std::string config = "2,C:\\tools\\job.exe\n";
    for (int i = 0; i < kMissing; ++i) {
        std::string program = "Z:\\gone\\job" + std::to_string(i) + ".exe";
        config += "100," + program + "\n";
        options_.missingPrograms.push_back(program);
    }
    WriteConfig(config);
    options_.desktopSeen = false;
    options_.standardErrorStuckUntilMs = GetParam();
    options_.stopAtMs = 7000;
    fake::Reset(options_);
    SetWarningRole(WarningRole::kForeground);
    testing::internal::CaptureStderr();
    RunEnd end = RunEnd::kStopped;
    EXPECT_EQ(RunScheduler(&end), 0);
    auto began = std::chrono::steady_clock::now();
    bool flushed = FlushWarnings();
    auto waited = std::chrono::steady_clock::now() - began;
    std::string said = testing::internal::GetCapturedStderr();

    std::vector<int64_t> starts;
    int32_t launchErrors = 0;
    for (const auto& launch : fake::Launches()) {
        if (launch.job == 0) starts.push_back(launch.startMs);
    }
    for (const auto& event : fake::Events()) {
        if (event.id == static_cast<uint32_t>(WarningEvent::kLaunchError)) ++launchErrors;
    }
    EXPECT_EQ(starts, (std::vector<int64_t>{0, 3000, 6000}));
    EXPECT_EQ(launchErrors, kLaunchEventsPerWindow);
    EXPECT_LT(waited, std::chrono::milliseconds(kWarningsFlushMs + 300));

    if (GetParam() == fake::kNever) {
        EXPECT_FALSE(flushed);
        EXPECT_EQ(said, "");
        return;
    }
    EXPECT_TRUE(flushed);
    // Every failure is either a line of its own or in the count.
    std::istringstream lines(said);
    std::string line;
    int written = 0;
    unsigned long dropped = 0;
    const std::string droppedTail =
        " warnings were not written here: standard error did not take them";
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("Cycle_launch: ", 0), 0u) << line;
        if (line.size() > droppedTail.size() &&
            line.compare(line.size() - droppedTail.size(), droppedTail.size(), droppedTail) == 0) {
            EXPECT_EQ(dropped, 0u) << "told once";
            dropped = std::strtoul(line.c_str() + 14, nullptr, 10);
        } else {
            EXPECT_NE(line.find("Execution Error"), std::string::npos) << line;
            ++written;
        }
    }
    EXPECT_GE(written, kStandardErrorLines);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(written + static_cast<int>(dropped), kMissing);
}

// Stuck for good, and stuck until the jobs have run a while.
INSTANTIATE_TEST_SUITE_P(Table, StuckStandardErrorTest, testing::Values(fake::kNever, 2500));

}  // namespace
