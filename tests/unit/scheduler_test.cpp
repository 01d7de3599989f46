#include "jobs/engine/scheduler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "jobs/engine/job_table.h"
#include "platform/files.h"
#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/program_folder.h"

namespace {

using Starts = std::vector<int64_t>;

class SchedulerTest : public ProgramFolderTest {
protected:
    // Runs the scheduler until the stop (if any) and returns its result.
    int Run() {
        fake::Reset(options_);
        SetWarningRole(role_);
        return RunScheduler(&end_);
    }
    // Start times (ms) of the children of one job.
    static Starts StartsOf(int32_t job) {
        Starts starts;
        for (const auto& launch : fake::Launches()) {
            if (launch.job == job) starts.push_back(launch.startMs);
        }
        return starts;
    }
    RunEnd end_ = RunEnd::kStopped;
    WarningRole role_ = WarningRole::kForeground;
};

struct TimingCase {
    const char* name;
    const char* config;
    int64_t childSeconds;
    Starts expected;  // before the stop at 9 s; a start in that last pass creates no child
};

class SchedulerTimingTest : public SchedulerTest, public testing::WithParamInterface<TimingCase> {};

TEST_P(SchedulerTimingTest, RestartsAfterTheIdleInterval) {
    WriteConfig(GetParam().config);
    options_.childSeconds = GetParam().childSeconds;
    options_.stopAtMs = 9000;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(StartsOf(0), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SchedulerTimingTest,
    testing::Values(
        // The child ends during the first sleep; the (N+1)-th tick after starts it.
        TimingCase{"IntervalThree", "3,C:\\tools\\job.exe\n", 0, {0, 4000, 8000}},
        TimingCase{"IntervalOne", "1,C:\\tools\\job.exe\n", 0, {0, 2000, 4000, 6000, 8000}},
        // No second run while one lasts; counting starts when it ends.
        TimingCase{"LongerThanInterval", "2,C:\\tools\\job.exe\n", 4, {0, 6000}},
        TimingCase{"IntervalZeroRunsOnce", "0,C:\\tools\\job.exe\n", 0, {0}},
        TimingCase{"NonNumericIntervalRunsOnce", "x,C:\\tools\\job.exe\n", 0, {0}},
        TimingCase{"NegativeRestartsAtEveryTick",
                   "-1,C:\\tools\\job.exe\n",
                   0,
                   {0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}},
        TimingCase{"NegativeWaitsForTheRunToEnd", "-5,C:\\tools\\job.exe\n", 3, {0, 3000, 6000}}),
    [](const testing::TestParamInfo<TimingCase>& info) { return info.param.name; });

TEST_F(SchedulerTest, ChildRunsInItsProgramsDirectoryWithItOnPath) {
    WriteConfig("60,C:\\tools\\job.exe -q\n1,job.exe x\n");
    options_.stopAtMs = 5000;
    Run();
    auto launches = fake::Launches();
    ASSERT_GE(launches.size(), 3u);
    for (const auto& launch : launches) {
        if (launch.job == 0) {
            EXPECT_EQ(launch.program, "C:\\tools\\job.exe");
            EXPECT_EQ(launch.commandLine, "job.exe -q");
            EXPECT_EQ(launch.directory, "C:\\tools\\");
            EXPECT_EQ(launch.path, "C:\\Windows;C:\\tools\\");
        } else {
            // No backslash: no directory of its own, and the PATH of the
            // start, not the one composed for another job.
            EXPECT_EQ(launch.program, "job.exe");
            EXPECT_EQ(launch.commandLine, "job.exe x");
            EXPECT_EQ(launch.directory, "");
            EXPECT_EQ(launch.path, "C:\\Windows");
        }
    }
}

TEST_F(SchedulerTest, PathDoesNotGrowFromLaunchToLaunch) {
    WriteConfig("-1,C:\\tools\\job.exe\n-1,D:\\other\\job.exe\n");
    options_.stopAtMs = 5000;
    Run();
    for (const auto& launch : fake::Launches()) {
        EXPECT_EQ(launch.path, "C:\\Windows;" + launch.directory);
    }
    EXPECT_EQ(StartsOf(0).size(), 5u);
}

TEST_F(SchedulerTest, WithoutPathChildrenGetTheDefaultSearchList) {
    WriteConfig("0,C:\\tools\\job.exe\n");
    options_.hasPath = false;
    options_.stopAtMs = 1000;
    Run();
    ASSERT_EQ(fake::Launches().size(), 1u);
    EXPECT_EQ(fake::Launches()[0].path,
              "C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem;C:\\tools\\");
}

TEST_F(SchedulerTest, FailedLaunchWarnsWithTheProgramPathAndRetriesAfterItsInterval) {
    WriteConfig("2,C:\\tools\\missing.exe C:\\data\\in.txt x\n3,\n");
    options_.missingPrograms = {"C:\\tools\\missing.exe C:\\data\\in.txt"};
    options_.stopAtMs = 7000;
    Run();
    // The box is dismissed during the first sleep; the job then idles 2 ticks.
    EXPECT_EQ(StartsOf(0), (Starts{0, 3000, 6000}));
    auto warnings = fake::Warnings();
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(),
                         "Command (C:\\tools\\missing.exe C:\\data\\in.txt) Execution Error"),
              3);
    // An empty command fails the same way.
    EXPECT_EQ(StartsOf(1), (Starts{0, 4000}));
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), "Command () Execution Error"), 2);
}

TEST_F(SchedulerTest, StopTerminatesRunningChildrenWithExitCodeTwo) {
    WriteConfig("5,C:\\tools\\a.exe\n5,C:\\tools\\b.exe\n-1,C:\\tools\\quick.exe\n");
    options_.childSeconds = 100;
    options_.stopAtMs = 3000;
    EXPECT_EQ(Run(), 0);
    fake::Finish();
    auto launches = fake::Launches();
    ASSERT_EQ(launches.size(), 3u);
    for (const auto& launch : launches) {
        EXPECT_TRUE(launch.terminated) << launch.program;
        EXPECT_EQ(launch.exitCode, 2u);
        EXPECT_EQ(launch.endMs, 3000);
    }
    EXPECT_TRUE(fake::HandleErrors().empty());
}

TEST_F(SchedulerTest, AChildThatEndedBeforeTheStopIsLeftAlone) {
    WriteConfig("100,C:\\tools\\job.exe\n");
    options_.stopAtMs = 3000;
    Run();
    fake::Finish();
    ASSERT_EQ(fake::Launches().size(), 1u);
    EXPECT_TRUE(fake::Launches()[0].ended);
    EXPECT_FALSE(fake::Launches()[0].terminated);
    EXPECT_TRUE(fake::HandleErrors().empty());
}

TEST_F(SchedulerTest, AJobStartedInTheLastPassCreatesNoChild) {
    // Due at 3 s, the very pass after the stop arrived.
    WriteConfig("2,C:\\tools\\job.exe\n");
    options_.stopAtMs = 3000;
    Run();
    fake::Finish();
    EXPECT_EQ(StartsOf(0), Starts{0});
    EXPECT_TRUE(fake::HandleErrors().empty());
}

struct StopPointCase {
    const char* name;
    fake::StopPoint stopAt;
    bool childCreated;
};

class StopDuringLaunchTest : public SchedulerTest,
                             public testing::WithParamInterface<StopPointCase> {};

// A stop at any point of a launch: no child outlives the runner, and no
// handle is used after it was closed or closed twice. Workers race for the
// launch lock, so each case runs many times.
TEST_P(StopDuringLaunchTest, LeavesNoChildAlive) {
    std::string config;
    for (int i = 0; i < 8; ++i) config += "5,C:\\tools\\job" + std::to_string(i) + ".exe\n";
    WriteConfig(config);
    options_.childSeconds = 100;
    options_.stopAt = GetParam().stopAt;
    for (int round = 0; round < 50; ++round) {
        ResetJobTable();
        StopFlag.store(0);
        EXPECT_EQ(Run(), 0);
        fake::Finish();
        auto launches = fake::Launches();
        EXPECT_EQ(!launches.empty(), GetParam().childCreated) << "round " << round;
        for (const auto& launch : launches) {
            EXPECT_TRUE(launch.terminated) << "round " << round << ": " << launch.program;
            EXPECT_EQ(launch.exitCode, 2u);
        }
        EXPECT_TRUE(fake::HandleErrors().empty()) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StopDuringLaunchTest,
    testing::Values(StopPointCase{"BeforeTheChildExists", fake::StopPoint::kThreadStarted, false},
                    StopPointCase{"WhileItIsCreated", fake::StopPoint::kChildBeingCreated, true},
                    StopPointCase{"RightAfter", fake::StopPoint::kChildCreated, true}),
    [](const testing::TestParamInfo<StopPointCase>& info) { return info.param.name; });

TEST_F(SchedulerTest, AFailedThreadStartIsRetriedAtTheNextTick) {
    WriteConfig("0,C:\\tools\\once.exe\n60,C:\\tools\\rare.exe\n");
    options_.failThreadStarts = 2;
    options_.stopAtMs = 3000;
    Run();
    EXPECT_EQ(StartsOf(0), Starts{1000});
    EXPECT_EQ(StartsOf(1), Starts{1000});
}

TEST_F(SchedulerTest, MissingConfigurationStartsNothing) {
    options_.stopAtMs = 3000;
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(end_, RunEnd::kNoConfigFile);
    EXPECT_TRUE(fake::Launches().empty());
    EXPECT_EQ(fake::NowMs(), 0);
}

TEST_F(SchedulerTest, HowARunEndedIsToldApart) {
    struct Case {
        const char* config;  // null: no file
        int result;
        RunEnd end;
    };
    for (const Case& c : {Case{nullptr, 1, RunEnd::kNoConfigFile}, Case{"", 1, RunEnd::kNoJobs},
                          Case{"no comma\n\n", 1, RunEnd::kNoJobs},
                          Case{"5,C:\\tools\\job.exe\n", 0, RunEnd::kStopped}}) {
        std::remove(ConfigPath().c_str());
        if (c.config != nullptr) WriteConfig(c.config);
        ResetJobTable();
        options_.stopAtMs = 2000;
        end_ = RunEnd::kStopped;
        EXPECT_EQ(Run(), c.result) << (c.config ? c.config : "no file");
        EXPECT_EQ(end_, c.end) << (c.config ? c.config : "no file");
        EXPECT_EQ(ConfigReadError(), 0u);
    }
    // There, but not to be read: a folder of the file's name.
    std::remove(ConfigPath().c_str());
    ASSERT_EQ(mkdir(ConfigPath().c_str(), 0700), 0);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(end_, RunEnd::kNoConfigFile);
    EXPECT_EQ(ConfigReadError(), kErrorAccessDenied);
}

TEST_F(SchedulerTest, AStopBeforeTheStartUpPassStartsNothing) {
    WriteConfig("malformed\n0,C:\\tools\\job.exe\n");
    options_.stopOnLoaderWarning = true;
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(fake::Launches().empty());
}

// The service: nobody sees its desktop, so warnings go to the event log and
// to the console user, and nothing waits for anyone to press OK.
class ServiceRoleTest : public SchedulerTest {
protected:
    void SetUp() override {
        SchedulerTest::SetUp();
        role_ = WarningRole::kService;
    }
    static std::vector<int64_t> EventTimes(WarningEvent id) {
        std::vector<int64_t> times;
        for (const auto& event : fake::Events()) {
            EXPECT_EQ(event.source, "Cycle_launch");
            if (event.id == static_cast<uint32_t>(id)) times.push_back(event.ms);
        }
        return times;
    }
};

class ServiceLaunchFailureTest : public ServiceRoleTest,
                                 public testing::WithParamInterface<bool> {};

TEST_P(ServiceLaunchFailureTest, IsReportedAndTheJobTriedAgainAfterItsInterval) {
    const bool session = GetParam();
    WriteConfig("2,C:\\tools\\missing.exe -x\n");
    options_.missingPrograms = {"C:\\tools\\missing.exe"};
    options_.consoleSession = session;
    options_.stopAtMs = 7000;
    EXPECT_EQ(Run(), 0);
    // Nothing waits for the report, so the worker may clear the mark within
    // the very pass that started it: the next start comes 2 or 3 ticks later.
    Starts starts = StartsOf(0);
    ASSERT_GE(starts.size(), 3u);
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 2000);
        EXPECT_LE(starts[i] - starts[i - 1], 3000);
    }
    EXPECT_TRUE(fake::Warnings().empty()) << "a box that waits for a person";
    ASSERT_EQ(fake::Events().size(), 1u);
    EXPECT_EQ(fake::Events()[0].id, static_cast<uint32_t>(WarningEvent::kLaunchError));
    // Read by an administrator, the warning gives the system's reason too.
    const std::string told =
        "Command (C:\\tools\\missing.exe) Execution Error: The system cannot find the file "
        "specified.";
    EXPECT_EQ(fake::Events()[0].text, told);
    EXPECT_EQ(fake::ConsoleMessages(),
              session ? std::vector<std::string>{told} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Table, ServiceLaunchFailureTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "WithASession" : "WithoutASession";
                         });

TEST_F(ServiceRoleTest, RepeatedFailuresAreReportedOnceUntilTheJobStartsAgain) {
    WriteConfig("1,C:\\tools\\flaky.exe\n1,C:\\tools\\gone.exe\n");
    options_.missingPrograms = {"C:\\tools\\flaky.exe", "C:\\tools\\gone.exe"};
    // The programs are there from 3.5 s to 5.5 s only. A job restarts 1 or 2
    // ticks after a failure, so each starts at least once in between.
    options_.missingUntilMs = 3500;
    options_.missingAgainFromMs = 5500;
    options_.stopAtMs = 11000;
    Run();
    std::vector<int64_t> expected;
    for (int32_t job = 0; job < 2; ++job) {
        bool reported = false;
        for (int64_t start : StartsOf(job)) {
            bool fails = start < 3500 || start >= 5500;
            if (fails && !reported) expected.push_back(start);
            reported = fails;
        }
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 4u) << "two failures each, a start between them";
    EXPECT_EQ(EventTimes(WarningEvent::kLaunchError), expected);
    // One box a minute from the whole service.
    EXPECT_EQ(fake::ConsoleMessages().size(), 1u);
}

TEST_F(ServiceRoleTest, LoaderWarningsNeverHoldUpTheRunOrTheStop) {
    WriteConfig("no comma\n-1,C:\\tools\\missing.exe\n");
    options_.missingPrograms = {"C:\\tools\\missing.exe"};
    options_.stopAtMs = 2000;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(fake::NowMs(), 2000);
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_EQ(EventTimes(WarningEvent::kConfigFormatError), std::vector<int64_t>{0});
    EXPECT_EQ(EventTimes(WarningEvent::kLaunchError), std::vector<int64_t>{0});
}

TEST_F(ServiceRoleTest, AMissingConfigurationEndsTheRunAtOnceWithItsReason) {
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(end_, RunEnd::kNoConfigFile);
    EXPECT_EQ(fake::NowMs(), 0);
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_EQ(EventTimes(WarningEvent::kConfigNotFound), std::vector<int64_t>{0});
    EXPECT_EQ(fake::ConsoleMessages(),
              std::vector<std::string>{"Config File (cycle_launch.txt) not Found"});
}

TEST_F(SchedulerTest, TheForegroundStillShowsEveryFailureInABox) {
    WriteConfig("1,C:\\tools\\missing.exe\n");
    options_.missingPrograms = {"C:\\tools\\missing.exe"};
    options_.stopAtMs = 5000;
    Run();
    EXPECT_EQ(fake::Warnings().size(), StartsOf(0).size());
    EXPECT_GE(fake::Warnings().size(), 2u);
    EXPECT_TRUE(fake::Events().empty());
    EXPECT_TRUE(fake::ConsoleMessages().empty());
}

// A foreground whose desktop nobody sees (a scheduled task, a remote shell):
// a box there would never be dismissed, so its warnings go to the event log
// and to standard error, and every job keeps its rhythm.
TEST_F(ServiceRoleTest, AForegroundNobodySeesWarnsOnStandardErrorAndNeverWaits) {
    WriteConfig("malformed\n2,C:\\tools\\job.exe\n1,C:\\tools\\missing.exe\n");
    role_ = WarningRole::kForeground;
    options_.desktopSeen = false;
    options_.missingPrograms = {"C:\\tools\\missing.exe"};
    options_.stopAtMs = 7000;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run(), 0);
    FlushWarnings();
    std::string standardError = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fake::Warnings().empty()) << "a box nobody can dismiss";
    EXPECT_TRUE(fake::ConsoleMessages().empty());
    EXPECT_EQ(StartsOf(0), (Starts{0, 3000, 6000}));
    EXPECT_GE(StartsOf(1).size(), 3u);
    EXPECT_EQ(EventTimes(WarningEvent::kConfigFormatError), std::vector<int64_t>{0});
    EXPECT_EQ(EventTimes(WarningEvent::kLaunchError), std::vector<int64_t>{0});
    EXPECT_EQ(standardError,
              "Cycle_launch: Config File (cycle_launch.txt) Format Error (count 1; lines 1)\n"
              "Cycle_launch: Command (C:\\tools\\missing.exe) Execution Error: The system "
              "cannot find the file specified.\n");
}

struct FloodCase {
    const char* name;
    WarningRole role;
    bool desktopSeen;
    size_t consoleBoxes;
    const char* heldBack;
    size_t standardErrorLines;
};

class LaunchWarningFloodTest : public ServiceRoleTest,
                               public testing::WithParamInterface<FloodCase> {};

// 30 jobs whose drive is gone, all failing in the same second: the event log
// gets ten entries and the console one box; a minute later one entry tells
// what was held back. Standard error, which nobody dismisses, gets them all.
TEST_P(LaunchWarningFloodTest, IsCutToTheLimitsAndWhatWasHeldBackIsTold) {
    std::string config;
    for (int i = 0; i < 30; ++i) config += "100,Z:\\gone\\job" + std::to_string(i) + ".exe\n";
    WriteConfig(config);
    for (int i = 0; i < 30; ++i) {
        options_.missingPrograms.push_back("Z:\\gone\\job" + std::to_string(i) + ".exe");
    }
    role_ = GetParam().role;
    options_.desktopSeen = GetParam().desktopSeen;
    options_.stopAtMs = 61000;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run(), 0);
    FlushWarnings();
    std::string standardError = testing::internal::GetCapturedStderr();
    EXPECT_EQ(EventTimes(WarningEvent::kLaunchError), std::vector<int64_t>(10, 0));
    EXPECT_EQ(EventTimes(WarningEvent::kWarningsHeldBack), std::vector<int64_t>{60000});
    for (const auto& event : fake::Events()) {
        if (event.id == static_cast<uint32_t>(WarningEvent::kWarningsHeldBack)) {
            EXPECT_EQ(event.text, GetParam().heldBack);
        }
    }
    EXPECT_EQ(fake::ConsoleMessages().size(), GetParam().consoleBoxes);
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_EQ(static_cast<size_t>(std::count(standardError.begin(), standardError.end(), '\n')),
              GetParam().standardErrorLines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LaunchWarningFloodTest,
    testing::Values(
        FloodCase{"Service", WarningRole::kService, true, 1,
                  "Launch warnings held back: 20 from the event log, 29 from the console", 0},
        FloodCase{"ForegroundNobodySees", WarningRole::kForeground, false, 0,
                  "Launch warnings held back: 20 from the event log, 0 from the console", 30}),
    [](const testing::TestParamInfo<FloodCase>& info) { return info.param.name; });

// Each run's child is in a job of the run's own, with whatever it starts.
class RunJobTest : public SchedulerTest {
protected:
    void SetUp() override {
        SchedulerTest::SetUp();
        // long.exe runs until stopped; brief.exe ends at once. Each leaves a
        // process of its own running.
        WriteConfig("5,C:\\tools\\long.exe\n100,C:\\tools\\brief.exe\n");
        options_.childSeconds = 100;
        options_.briefPrograms = {"C:\\tools\\brief.exe"};
        options_.childrenStartDescendants = true;
        options_.stopAtMs = 3000;
    }
    static fake::Launch Only(int32_t job) {
        std::vector<fake::Launch> found;
        for (const auto& launch : fake::Launches()) {
            if (launch.job == job) found.push_back(launch);
        }
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? fake::Launch{} : found[0];
    }
};

TEST_F(RunJobTest, TheStopEndsEveryRunInProgressWithWhatItStarted) {
    EXPECT_EQ(Run(), 0);
    fake::Finish();
    fake::Launch running = Only(0);
    EXPECT_TRUE(running.inJobObject);
    EXPECT_TRUE(running.terminated);
    EXPECT_EQ(running.exitCode, 2u);
    EXPECT_TRUE(running.descendantTerminated);
    EXPECT_EQ(running.descendantExitCode, 2u);

    // A run that had ended let go of its job: what it left behind runs on.
    fake::Launch ended = Only(1);
    EXPECT_TRUE(ended.inJobObject);
    EXPECT_TRUE(ended.ended);
    EXPECT_FALSE(ended.terminated);
    EXPECT_FALSE(ended.descendantTerminated);
    EXPECT_TRUE(fake::HandleErrors().empty()) << fake::HandleErrors()[0];
}

TEST_F(RunJobTest, WithoutAJobTheRunGoesOnAndTheStopEndsTheChildAlone) {
    options_.jobObjectsRefused = true;
    EXPECT_EQ(Run(), 0);
    fake::Finish();
    fake::Launch running = Only(0);
    EXPECT_FALSE(running.inJobObject);
    EXPECT_FALSE(running.suspended);
    EXPECT_TRUE(running.terminated);
    EXPECT_EQ(running.exitCode, 2u);
    EXPECT_FALSE(running.descendantTerminated);
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_TRUE(fake::HandleErrors().empty()) << fake::HandleErrors()[0];
}

// A creation the stop gave up waiting for, which completes as the runner
// ends. Created inside its job object, it goes with the runner; where the
// system joins it only afterwards (before Windows 10), it is left suspended,
// never to run.
class AbandonedCreationTest : public SchedulerTest, public testing::WithParamInterface<bool> {};

TEST_P(AbandonedCreationTest, LeavesNoProcessWhereTheChildIsCreatedInItsJob) {
    bool jobList = GetParam();
    WriteConfig("5,C:\\tools\\share.exe\n");
    options_.slowCreations = {{"C:\\tools\\share.exe", 60000}};
    options_.jobListAtCreation = jobList;
    options_.stopAtMs = 2000;
    EXPECT_EQ(Run(), 0);
    EXPECT_LT(fake::NowMs(), 60000) << "the stop gave up waiting";
    fake::Finish();
    std::vector<fake::Launch> launches = fake::Launches();
    ASSERT_EQ(launches.size(), 1u);
    const fake::Launch& launch = launches[0];
    ASSERT_TRUE(launch.created);
    EXPECT_EQ(launch.inJobObject, jobList);
    EXPECT_EQ(launch.terminated, jobList);
    EXPECT_TRUE(launch.suspended) << "never let run";
    if (jobList) {
        EXPECT_EQ(launch.exitCode, fake::kJobClosedExitCode);
    }
    EXPECT_TRUE(fake::HandleErrors().empty()) << fake::HandleErrors()[0];
}

INSTANTIATE_TEST_SUITE_P(Table, AbandonedCreationTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "CreatedInItsJob" : "JoinedAfterwards";
                         });

// The runner's end ends every run still in a job with it: the stop's
// leftovers and a run whose child ended by itself keep only what that child
// left running.
TEST_F(RunJobTest, WhatAnEndedRunLeftRunsOnOnceTheRunnerHasEnded) {
    options_.stopAtMs = 3500;
    EXPECT_EQ(Run(), 0);
    fake::Finish();
    fake::Launch ended = Only(1);
    EXPECT_TRUE(ended.ended);
    EXPECT_FALSE(ended.descendantTerminated) << "the runner's end took what it left running";
    EXPECT_TRUE(fake::HandleErrors().empty()) << fake::HandleErrors()[0];
}

// A child that ended by itself as the stop came, its end not yet told:
// the stop finds it ended, and what it left running outlives the runner.
TEST_F(RunJobTest, WhatARunEndedAsTheStopCameLeftRunsOn) {
    options_.programSeconds = {{"C:\\tools\\brief.exe", 3}};
    options_.lateEndReports = {"C:\\tools\\brief.exe"};
    EXPECT_EQ(Run(), 0);
    fake::Finish();
    fake::Launch ended = Only(1);
    EXPECT_TRUE(ended.ended);
    EXPECT_FALSE(ended.terminated);
    EXPECT_FALSE(ended.descendantTerminated) << "the runner's end took what it left running";
    EXPECT_TRUE(fake::HandleErrors().empty()) << fake::HandleErrors()[0];
}

struct JobObjectFailureCase {
    const char* name;
    bool fake::Options::*failure;
    bool childRuns;  // else the launch fails and is warned about
};

class JobObjectFailureTest : public RunJobTest,
                             public testing::WithParamInterface<JobObjectFailureCase> {};

// Where the job object can't be had, the child runs without one; where the
// suspended child can't be let run, it is ended and the launch fails. Either
// way no handle is leaked or used twice.
TEST_P(JobObjectFailureTest, TheRunGoesOnWithoutItOrTheLaunchFailsCleanly) {
    options_.*(GetParam().failure) = true;
    EXPECT_EQ(Run(), 0);
    fake::Finish();
    fake::Launch launch = Only(0);
    EXPECT_TRUE(launch.terminated);
    EXPECT_EQ(launch.exitCode, 2u);
    if (GetParam().childRuns) {
        EXPECT_FALSE(launch.inJobObject);
        EXPECT_FALSE(launch.suspended);
        EXPECT_EQ(launch.endMs, 3000) << "ended by the stop";
        EXPECT_TRUE(fake::Warnings().empty());
    } else {
        EXPECT_EQ(launch.endMs, 0) << "ended at once, never let run";
        // Workers warn in any order.
        std::vector<std::string> warnings = fake::Warnings();
        std::sort(warnings.begin(), warnings.end());
        EXPECT_EQ(warnings,
                  (std::vector<std::string>{"Command (C:\\tools\\brief.exe) Execution Error",
                                            "Command (C:\\tools\\long.exe) Execution Error"}));
    }
    EXPECT_TRUE(fake::HandleErrors().empty()) << fake::HandleErrors()[0];
}

INSTANTIATE_TEST_SUITE_P(
    Table, JobObjectFailureTest,
    testing::Values(JobObjectFailureCase{"AssignmentRefused", &fake::Options::jobObjectsRefused,
                                         true},
                    JobObjectFailureCase{"NoJobObject", &fake::Options::jobObjectsMissing, true},
                    JobObjectFailureCase{"ResumeFails", &fake::Options::resumeFails, false}),
    [](const testing::TestParamInfo<JobObjectFailureCase>& info) { return info.param.name; });

}  // namespace
