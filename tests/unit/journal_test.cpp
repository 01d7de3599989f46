#include "jobs/report/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jobs/engine/launcher.h"
#include "jobs/engine/scheduler.h"
#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/program_folder.h"

namespace {

constexpr char kMark[] = "\xEF\xBB\xBF";
constexpr char kHeader[] = "time\tevent\tline\trun\tpid\tresult\tms\ttext";
constexpr char kLive[] = "cycle_launch.foreground.log";

using Fields = std::vector<std::string>;

Fields Split(const std::string& line) {
    Fields fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.push_back("");
    return fields;
}

class JournalTest : public ProgramFolderTest {
protected:
    // Runs the foreground scheduler with its journal until the stop.
    int Run() {
        fake::Reset(options_);
        ResetJobTable();
        StopFlag.store(0);
        OpenJournal(JournalRole::kForeground);
        int result = RunScheduler(nullptr);
        CloseJournal();
        return result;
    }
    std::string Read(const std::string& name = kLive) const {
        std::ifstream in(directory_ + "/" + name, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(directory_ + "/" + name, std::ios::binary) << bytes;
    }
    // The records of the live file, each split into its eight fields; checks
    // the mark, the header and the line ends on the way.
    std::vector<Fields> Records(const std::string& name = kLive) const {
        std::string text = Read(name);
        EXPECT_EQ(text.rfind(kMark, 0), 0u) << "no byte-order mark";
        std::vector<Fields> records;
        size_t at = 3;
        bool header = true;
        while (at < text.size()) {
            size_t end = text.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "a line without its CR LF";
            if (end == std::string::npos) break;
            std::string line = text.substr(at, end - at);
            at = end + 2;
            if (header) {
                EXPECT_EQ(line, kHeader);
                header = false;
                continue;
            }
            Fields fields = Split(line);
            EXPECT_EQ(fields.size(), 8u) << line;
            records.push_back(fields);
        }
        return records;
    }
    static std::vector<std::string> Events(const std::vector<Fields>& records) {
        std::vector<std::string> events;
        for (const auto& record : records) events.push_back(record[1]);
        return events;
    }
};

// --- What a run leaves in the journal --------------------------------------

struct RecordCase {
    const char* name;
    const char* config;
    std::vector<std::pair<std::string, uint32_t>> exitCodes;
    std::vector<std::string> missing;
    std::vector<Fields> expected;  // events and fields 2 to 5 and 7 (not time, not ms)
};

class JournalRecordTest : public JournalTest, public testing::WithParamInterface<RecordCase> {};

TEST_P(JournalRecordTest, TellsEveryRunAndTheRunnersStartAndStop) {
    WriteConfig(GetParam().config);
    options_.exitCodes = GetParam().exitCodes;
    options_.missingPrograms = GetParam().missing;
    options_.childSeconds = 5;
    options_.briefPrograms = {"C:\\t\\brief.exe"};
    options_.stopAtMs = 2000;
    Run();
    auto records = Records();
    ASSERT_EQ(records.size(), GetParam().expected.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const Fields& got = records[i];
        const Fields& want = GetParam().expected[i];
        EXPECT_EQ(got[0], "2026-12-10T12:00:0" + std::string(1, got[0][18]) + ".000+01:00");
        Fields compared{got[1], got[2], got[3], got[4], got[5], got[7]};
        EXPECT_EQ(compared, want) << "record " << i;
    }
}

const std::string kRunnerHead = "foreground, version 1.2.0.0, pid 4242";

INSTANTIATE_TEST_SUITE_P(
    Table, JournalRecordTest,
    testing::Values(
        RecordCase{
            "EndsWithItsExitCode",
            "0,C:\\t\\brief.exe -x\n",
            {{"C:\\t\\brief.exe", 7}},
            {},
            {{"runner", "", "", "", "", kRunnerHead + ", configuration in ANSI, 1 jobs loaded"},
             {"start", "1", "1", "1", "", "C:\\t\\brief.exe -x"},
             {"end", "1", "1", "1", "7", ""},
             {"runner", "", "", "", "", "stop: Ctrl+C; 0 runs ended by the stop"}}},
        RecordCase{
            "CrashShowsItsCodeInHex",
            "0,C:\\t\\brief.exe\n",
            {{"C:\\t\\brief.exe", 0xC0000005u}},
            {},
            {{"runner", "", "", "", "", kRunnerHead + ", configuration in ANSI, 1 jobs loaded"},
             {"start", "1", "1", "1", "", "C:\\t\\brief.exe"},
             {"end", "1", "1", "1", "3221225477 (0xC0000005)", ""},
             {"runner", "", "", "", "", "stop: Ctrl+C; 0 runs ended by the stop"}}},
        RecordCase{
            "FailedStartGivesTheReason",
            "0,C:\\t\\gone.exe a\n",
            {},
            {"C:\\t\\gone.exe"},
            {{"runner", "", "", "", "", kRunnerHead + ", configuration in ANSI, 1 jobs loaded"},
             {"fail", "1", "1", "", "2",
              "C:\\t\\gone.exe: The system cannot find the file specified."},
             {"runner", "", "", "", "", "stop: Ctrl+C; 0 runs ended by the stop"}}},
        RecordCase{
            "StopKillsTheRunInProgress",
            "0,C:\\t\\long.exe\n",
            {},
            {},
            {{"runner", "", "", "", "", kRunnerHead + ", configuration in ANSI, 1 jobs loaded"},
             {"start", "1", "1", "1", "", "C:\\t\\long.exe"},
             {"kill", "1", "1", "1", "2", ""},
             {"runner", "", "", "", "", "stop: Ctrl+C; 1 runs ended by the stop"}}},
        // The lines listed as the warning lists them; past twenty, "...".
        RecordCase{"FormatErrorsListTheirLines",
                   "no comma\n0,C:\\t\\brief.exe\n\n",
                   {{"C:\\t\\brief.exe", 0}},
                   {},
                   {{"runner", "", "", "", "",
                     kRunnerHead +
                         ", configuration in ANSI, 1 jobs loaded, format errors on 2 lines: 1, 3"},
                    {"start", "2", "1", "1", "", "C:\\t\\brief.exe"},
                    {"end", "2", "1", "1", "0", ""},
                    {"runner", "", "", "", "", "stop: Ctrl+C; 0 runs ended by the stop"}}},
        RecordCase{
            "ManyFormatErrorsEndWithDots",
            "x\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\nx\n",
            {},
            {},
            {{"runner", "", "", "", "",
              kRunnerHead + ", configuration in ANSI, 0 jobs loaded, format errors on 21 lines: "
                            "1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, "
                            "20, ..., no jobs"},
             {"runner", "", "", "", "", "stop: no jobs; 0 runs ended by the stop"}}},
        RecordCase{"NoJobs",
                   "",
                   {},
                   {},
                   {{"runner", "", "", "", "",
                     kRunnerHead + ", configuration in ANSI, 0 jobs loaded, no jobs"},
                    {"runner", "", "", "", "", "stop: no jobs; 0 runs ended by the stop"}}}),
    [](const testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// A 32-bit runner on 64-bit Windows now runs the real System32, where a
// 32-bit program it used to find there is missing: its fail says where
// that program is.
TEST_F(JournalTest, AProgramMissingFromTheRealSystem32PointsToSysWow64) {
    struct Case {
        bool wow64;
        const char* program;
        bool pointed;
    };
    const Case cases[] = {
        {true, "C:\\Windows\\System32\\tool32.exe", true},
        {true, "c:\\windows\\system32\\sub\\tool32.exe", true},
        {false, "C:\\Windows\\System32\\tool32.exe", false},
        {true, "C:\\Windows\\SysWOW64\\tool32.exe", false},
        {true, "C:\\t\\tool32.exe", false},
    };
    for (const Case& c : cases) {
        WriteConfig(std::string("0,") + c.program + " -q\n");
        options_.runnerUnderWow64 = c.wow64;
        options_.missingPrograms = {c.program};
        options_.stopAtMs = 1000;
        Run();
        auto records = Records();
        ASSERT_EQ(Events(records), (std::vector<std::string>{"runner", "fail", "runner"}))
            << c.program;
        std::string expected =
            std::string(c.program) + ": The system cannot find the file specified." +
            (c.pointed ? " This runner runs the 64-bit System32: a 32-bit program of that name "
                         "is in SysWOW64."
                       : "");
        EXPECT_EQ(records[1][7], expected) << c.wow64;
        EXPECT_EQ(fake::Warnings(), std::vector<std::string>{"Command (" + std::string(c.program) +
                                                             ") Execution Error"});
        std::remove((directory_ + "/" + kLive).c_str());
    }
}

// Said once, in a runner record of its own, while the jobs run as before.
TEST_F(JournalTest, AFolderThatCantBeMadeCurrentIsToldOnceInARunnerRecord) {
    WriteConfig("0,C:\\t\\brief.exe\n");
    options_.briefPrograms = {"C:\\t\\brief.exe"};
    options_.changeDirectoryError = 5;
    options_.stopAtMs = 3000;
    Run();
    auto records = Records();
    EXPECT_EQ(Events(records),
              (std::vector<std::string>{"runner", "runner", "start", "end", "runner"}));
    EXPECT_EQ(
        records[0][7].rfind("the program folder C:\\jobs\\ could not be made current: error 5", 0),
        0u)
        << records[0][7];
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(JournalTest, NoConfigurationIsTheWholeStory) {
    fake::Reset(options_);
    OpenJournal(JournalRole::kForeground);
    RunScheduler(nullptr);
    CloseJournal();
    auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0][7], kRunnerHead + ", no configuration file");
    EXPECT_EQ(records[1][7], "stop: no configuration file; 0 runs ended by the stop");
}

TEST_F(JournalTest, DurationsAndRunNumbersTieEachRunTogether) {
    WriteConfig("2,C:\\t\\job.exe\n0,C:\\t\\other.exe\n");
    options_.childSeconds = 3;
    options_.briefPrograms = {"C:\\t\\other.exe"};
    options_.stopAtMs = 7000;
    Run();
    // Workers of one instant take turns in any order: each run's own
    // records, in order, are what counts.
    std::map<std::string, std::vector<std::string>> runs;
    for (const auto& r : Records()) {
        if (r[1] != "runner") runs[r[3]].push_back(r[1] + " line " + r[2] + " ms " + r[6]);
    }
    // Job 1 runs from 0 to 3 s, is idle for two ticks and runs again from 5 s.
    std::vector<std::string> first = {"start line 1 ms ", "end line 1 ms 3000"};
    std::vector<std::string> other = {"start line 2 ms ", "end line 2 ms 1000"};
    EXPECT_TRUE((runs["1"] == first && runs["2"] == other) ||
                (runs["1"] == other && runs["2"] == first));
    EXPECT_EQ(runs["3"], (std::vector<std::string>{"start line 1 ms ", "kill line 1 ms 2000"}));
    EXPECT_EQ(runs.size(), 3u);
    EXPECT_EQ(Records().back()[7], "stop: Ctrl+C; 1 runs ended by the stop");
}

// --- A launch that fails for want of resources -----------------------------

TEST_F(JournalTest, ATransientFailureIsTriedOnceMoreAtTheNextTick) {
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.transientFailures = 1;
    options_.stopAtMs = 3000;
    Run();
    EXPECT_EQ(Events(Records()),
              (std::vector<std::string>{"runner", "retry", "start", "end", "runner"}));
    auto records = Records();
    EXPECT_EQ(records[1][3], records[2][3]) << "the retry and its start share the run";
    EXPECT_EQ(records[1][5], "1359");
    EXPECT_TRUE(fake::Warnings().empty());
    ASSERT_EQ(fake::Launches().size(), 2u);
    EXPECT_EQ(fake::Launches()[1].startMs, 1000);
}

TEST_F(JournalTest, ASecondTransientFailureFailsTheLaunch) {
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.transientFailures = 2;
    options_.stopAtMs = 4000;
    Run();
    EXPECT_EQ(Events(Records()), (std::vector<std::string>{"runner", "retry", "fail", "runner"}));
    EXPECT_EQ(fake::Warnings(),
              std::vector<std::string>{"Command (C:\\t\\job.exe) Execution Error"});
    EXPECT_EQ(fake::Launches().size(), 2u) << "an interval-0 job is not tried a third time";
}

// A retry that never comes still closes its run: the stop at the next
// tick, or the job removed before it.
TEST_F(JournalTest, ARetryNeverTakenIsClosedByAFail) {
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.transientFailures = 1;
    options_.stopAtMs = 1000;
    Run();
    auto records = Records();
    EXPECT_EQ(Events(records), (std::vector<std::string>{"runner", "retry", "fail", "runner"}));
    EXPECT_EQ(records[1][3], records[2][3]) << "the fail closes the retried run";
    EXPECT_EQ(records[2][5], "1359");
    EXPECT_EQ(fake::Launches().size(), 1u);
}

// A retry whose creation the stop gives up waiting for is closed all the same.
TEST_F(JournalTest, ARetryTheStopAbandonsIsClosedByAFail) {
    WriteConfig("0,\\\\nas\\share\\sync.exe\n");
    options_.transientFailures = 1;
    options_.slowCreations = {{"\\\\nas\\share\\sync.exe", 8000}};
    options_.stopAtMs = 10000;
    Run();
    auto records = Records();
    EXPECT_EQ(Events(records), (std::vector<std::string>{"runner", "retry", "fail", "runner"}));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1][3], records[2][3]) << "the fail closes the retried run";
    EXPECT_EQ(records[3][7], "stop: Ctrl+C; 1 runs ended by the stop");
}

// --- A creation that hangs --------------------------------------------------

std::vector<int64_t> StartsOf(const std::string& program) {
    std::vector<int64_t> starts;
    for (const auto& launch : fake::Launches()) {
        if (launch.program == program) starts.push_back(launch.startMs);
    }
    return starts;
}

// A program on a server that is off takes 30 s to fail or start: the
// other jobs keep their rhythm, and the stop waits 5 s for it, no more; at
// shutdown, whose whole budget is about 5 s, 1 s.
TEST_F(JournalTest, AHungCreationHoldsUpOnlyItsOwnJob) {
    struct StopCase {
        int32_t cause;
        int64_t waitMs;
        const char* record;
    };
    const StopCase cases[] = {
        {kStopBySignal, 5000, "stop: Ctrl+C; 1 runs ended by the stop"},
        {kStopByService, 5000, "stop: the service manager's stop; 1 runs ended by the stop"},
        {kStopByShutdown, 1000, "stop: the system shuts down; 1 runs ended by the stop"},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.record);
        std::filesystem::remove(directory_ + "/" + kLive);
        WriteConfig("1,\\\\nas\\share\\sync.exe\n1,C:\\t\\a.exe\n");
        options_.slowCreations = {{"\\\\nas\\share\\sync.exe", 30000}};
        options_.stopAtMs = 8000;
        options_.stopCause = c.cause;
        Run();
        EXPECT_EQ(StartsOf("C:\\t\\a.exe"), (std::vector<int64_t>{0, 2000, 4000, 6000}));
        EXPECT_LE(fake::NowMs(), 8000 + c.waitMs + 50) << "the stop waited past its bound";
        EXPECT_GE(fake::NowMs(), 8000 + c.waitMs) << "the stop gave up before its bound";
        auto records = Records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back()[7], c.record) << "the creation in progress";
        fake::Finish();
        // Created once the stop had given up on it: ended before it ever ran.
        auto syncs = StartsOf("\\\\nas\\share\\sync.exe");
        ASSERT_EQ(syncs.size(), 1u);
        for (const auto& launch : fake::Launches()) {
            if (launch.program != "\\\\nas\\share\\sync.exe") continue;
            EXPECT_TRUE(launch.terminated);
            EXPECT_TRUE(launch.suspended);
        }
    }
}

// Creations that overlap, more of them than any small pool of buffers:
// each child still gets its own folder after the start PATH.
TEST_F(JournalTest, OverlappingCreationsEachGetTheirOwnFolderOnPath) {
    std::string config;
    for (int i = 0; i < 8; ++i) {
        std::string program = "C:\\t" + std::to_string(i) + "\\slow.exe";
        config += "0," + program + "\n";
        options_.slowCreations.push_back({program, 500});
    }
    WriteConfig(config);
    options_.stopAtMs = 3000;
    Run();
    ASSERT_EQ(fake::Launches().size(), 8u);
    for (const auto& launch : fake::Launches()) {
        std::string folder = launch.program.substr(0, launch.program.rfind('\\') + 1);
        EXPECT_EQ(launch.path, "C:\\Windows;" + folder) << launch.program;
    }
}

// Done within the stop's wait, the child is ended while still suspended,
// journaled as a kill, and counted by the stop record.
TEST_F(JournalTest, AChildCreatedDuringTheStopIsKilledBeforeItRuns) {
    WriteConfig("0,C:\\t\\slow.exe\n");
    options_.slowCreations = {{"C:\\t\\slow.exe", 3000}};
    options_.stopAtMs = 1000;
    Run();
    auto records = Records();
    EXPECT_EQ(Events(records), (std::vector<std::string>{"runner", "start", "kill", "runner"}));
    EXPECT_EQ(records.back()[7], "stop: Ctrl+C; 1 runs ended by the stop");
    ASSERT_EQ(fake::Launches().size(), 1u);
    EXPECT_TRUE(fake::Launches()[0].terminated);
    EXPECT_TRUE(fake::Launches()[0].suspended) << "it ran after the stop";
    EXPECT_EQ(fake::NowMs(), 3000);
}

TEST(TransientLaunchErrorTest, OnlyErrorsThatSayNothingOfTheProgram) {
    for (uint32_t error : {8u, 14u, 1359u, 1450u, 1455u})
        EXPECT_TRUE(IsTransientLaunchError(error)) << error;
    for (uint32_t error : {2u, 3u, 5u, 193u, 267u})
        EXPECT_FALSE(IsTransientLaunchError(error)) << error;
}

// --- Nothing waits on the disk, and what is lost is told -------------------

TEST_F(JournalTest, AThousandJobsFailingAtOnceLoseNothingOnASlowDisk) {
    std::string config;
    for (int i = 0; i < kMaxJobs; ++i) config += "0,C:\\gone\\" + std::to_string(i) + ".exe\n";
    WriteConfig(config);
    options_.missingPrograms.clear();
    for (int i = 0; i < kMaxJobs; ++i)
        options_.missingPrograms.push_back("C:\\gone\\" + std::to_string(i) + ".exe");
    options_.journalWriteMs = 500;
    options_.stopAtMs = 1000;
    SetWarningRole(WarningRole::kService);
    fake::Reset(options_);
    OpenJournal(JournalRole::kForeground);
    RunScheduler(nullptr);
    // The scheduler's second passed while the first batch was being written.
    EXPECT_EQ(fake::NowMs(), 1000);
    CloseJournal();
    auto events = Events(Records());
    EXPECT_EQ(std::count(events.begin(), events.end(), "fail"), kMaxJobs);
    EXPECT_EQ(std::count(events.begin(), events.end(), "lost"), 0);
}

TEST_F(JournalTest, AFullQueueDropsAndCountsWhatItCannotHold) {
    std::string config;
    for (int i = 0; i < kMaxJobs; ++i) config += "-1,C:\\gone\\" + std::to_string(i) + ".exe\n";
    WriteConfig(config);
    for (int i = 0; i < kMaxJobs; ++i)
        options_.missingPrograms.push_back("C:\\gone\\" + std::to_string(i) + ".exe");
    options_.journalWriteMs = 3000;
    options_.stopAtMs = 3000;
    SetWarningRole(WarningRole::kService);
    Run();
    auto records = Records();
    auto events = Events(records);
    ASSERT_EQ(std::count(events.begin(), events.end(), "lost"), 1);
    const Fields& lost = *std::find_if(records.begin(), records.end(),
                                       [](const Fields& r) { return r[1] == "lost"; });
    uint32_t dropped = std::stoul(lost[7]);
    EXPECT_EQ(lost[7], std::to_string(dropped) + " records lost: the queue was full");
    // Three passes of 1024 failures (the last, after the stop, creates
    // nothing), all told.
    EXPECT_EQ(std::count(events.begin(), events.end(), "fail") + dropped, 3u * kMaxJobs);
    EXPECT_EQ(events.back(), "runner");
}

TEST_F(JournalTest, AFailingWriteIsCountedAndToldOnceWritingWorksAgain) {
    WriteConfig("-1,C:\\t\\job.exe\n");
    options_.diskFullFromMs = 2000;
    options_.diskFullUntilMs = 4000;
    options_.stopAtMs = 6000;
    Run();
    auto records = Records();  // checks that no half record was left
    auto events = Events(records);
    auto lost = std::find(events.begin(), events.end(), "lost");
    ASSERT_NE(lost, events.end());
    const Fields& record = records[lost - events.begin()];
    EXPECT_NE(record[7].find(" records lost: writing failed with error 112 (There is not enough "
                             "space on the disk.)"),
              std::string::npos)
        << record[7];
    // Runs go on at every tick meanwhile: starts at 0..5 s, each ended.
    EXPECT_EQ(fake::Launches().size(), 6u);
    uint32_t told = std::stoul(record[7]);
    EXPECT_EQ(std::count(events.begin(), events.end(), "start") +
                  std::count(events.begin(), events.end(), "end") + told,
              12u);
    EXPECT_EQ(events.back(), "runner");
}

TEST_F(JournalTest, AFileDeletedWhileOpenIsMadeAnew) {
    WriteConfig("-1,C:\\t\\job.exe\n");
    options_.journalDeletedAtMs = 2000;
    options_.stopAtMs = 4000;
    Run();
    // A new file, with its mark and header, goes on from the first record
    // after the deletion: nothing had been written to the deleted one since.
    auto records = Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front()[1], "start");
    EXPECT_EQ(records.back()[7], "stop: Ctrl+C; 0 runs ended by the stop");
}

// --- Bounded ---------------------------------------------------------------

std::string Filled(size_t bytes) {
    std::string text = std::string(kMark) + kHeader + "\r\n";
    std::string line = "2026-12-09T10:00:00.000+01:00\tend\t1\t1\t1\t0\t5\t\r\n";
    while (text.size() < bytes) text += line;
    return text;
}

TEST_F(JournalTest, ALiveFilePastTheLimitRollsAtTheFirstRecord) {
    std::string old = Filled(kJournalRollBytes + 10);
    Write(kLive, old);
    Write("cycle_launch.foreground.1.log", "one");
    Write("cycle_launch.foreground.2.log", "two");
    Write("cycle_launch.foreground.3.log", "three");
    Write("cycle_launch.foreground.4.log", "four");
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    // The oldest goes, the others move up one, the live file's content is .1.
    EXPECT_EQ(Read("cycle_launch.foreground.1.log"), old);
    EXPECT_EQ(Read("cycle_launch.foreground.2.log"), "one");
    EXPECT_EQ(Read("cycle_launch.foreground.3.log"), "two");
    EXPECT_EQ(Read("cycle_launch.foreground.4.log"), "three");
    EXPECT_EQ(Events(Records()), (std::vector<std::string>{"runner", "start", "end", "runner"}));
}

struct HeldCase {
    const char* name;
    std::vector<std::string> older;  // .1.log, .2.log, ... before
    std::string held;
    std::vector<std::string>
        after;  // .1.log, .2.log, ... after; "live": the live file's old content
};

class JournalRollHeldTest : public JournalTest, public testing::WithParamInterface<HeldCase> {};

// A reader holds an older file: it stays where it is, the others move
// around it, nothing is written over, and the live file is still cut.
TEST_P(JournalRollHeldTest, TheRollGoesOnAroundAHeldFile) {
    std::string old = Filled(kJournalRollBytes + 10);
    Write(kLive, old);
    auto name = [](size_t i) {
        return "cycle_launch.foreground." + std::to_string(i + 1) + ".log";
    };
    for (size_t i = 0; i < GetParam().older.size(); ++i) Write(name(i), GetParam().older[i]);
    options_.heldFiles = {GetParam().held};
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    std::vector<std::string> after;
    for (size_t i = 0; i < static_cast<size_t>(kJournalOlderFiles); ++i) {
        std::string content = Read(name(i));
        after.push_back(content == old ? "live" : content);
    }
    EXPECT_EQ(after, GetParam().after);
    EXPECT_EQ(Events(Records()), (std::vector<std::string>{"runner", "start", "end", "runner"}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, JournalRollHeldTest,
    testing::Values(
        HeldCase{"TheNewest", {"one"}, "cycle_launch.foreground.1.log", {"one", "live", "", ""}},
        HeldCase{"OneInTheMiddle",
                 {"one", "two"},
                 "cycle_launch.foreground.2.log",
                 {"live", "two", "one", ""}},
        // All taken and the oldest held: the oldest that can go, goes.
        HeldCase{"TheOldestWhenAllAreThere",
                 {"one", "two", "three", "four"},
                 "cycle_launch.foreground.4.log",
                 {"live", "one", "two", "four"}}),
    [](const testing::TestParamInfo<HeldCase>& info) { return info.param.name; });

TEST_F(JournalTest, ARollHeldUpOnceGoesOnLaterWithoutLoss) {
    // A free place in the middle, as a roll stopped half way leaves it.
    Write(kLive, Filled(kJournalRollBytes + 10));
    Write("cycle_launch.foreground.1.log", "one");
    Write("cycle_launch.foreground.3.log", "three");
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    EXPECT_EQ(Read("cycle_launch.foreground.2.log"), "one");
    EXPECT_EQ(Read("cycle_launch.foreground.3.log"), "three");
    EXPECT_EQ(Read("cycle_launch.foreground.1.log").substr(0, 3), kMark);
}

// A reader that maps the live file makes its cut fail: the roll then
// changes nothing, at the first try and at every restart's, and goes on
// whole once the reader lets go.
TEST_F(JournalTest, ARollWhoseCutFailsLeavesEveryFileAsItWas) {
    std::string old = Filled(kJournalRollBytes + 10);
    Write(kLive, old);
    const std::vector<std::string> older = {"one", "two", "three", "four"};
    auto name = [](size_t i) {
        return "cycle_launch.foreground." + std::to_string(i + 1) + ".log";
    };
    for (size_t i = 0; i < older.size(); ++i) Write(name(i), older[i]);
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    options_.mappedFiles = {kLive};
    for (int restart = 0; restart < 3; ++restart) {
        Run();
        for (size_t i = 0; i < older.size(); ++i) EXPECT_EQ(Read(name(i)), older[i]) << restart;
        std::string live = Read();
        EXPECT_EQ(live.substr(0, old.size()), old) << restart;
        EXPECT_GT(live.size(), old.size()) << restart;
        EXPECT_FALSE(std::filesystem::exists(directory_ + "/cycle_launch.foreground.rolling.log"));
    }
    std::string held = Read();
    options_.mappedFiles.clear();
    Run();
    EXPECT_EQ(Read(name(0)).substr(0, held.size()), held);
    EXPECT_EQ(Read(name(1)), "one");
    EXPECT_EQ(Read(name(2)), "two");
    EXPECT_EQ(Read(name(3)), "three");
    EXPECT_LT(Read().size(), 4096u);
    EXPECT_FALSE(std::filesystem::exists(directory_ + "/cycle_launch.foreground.rolling.log"));
}

// Long random sequences of starts, each finding the live file past its
// bound, with readers mapping it or holding older files at random: a roll
// that fails changes no file, one that succeeds keeps every older file but
// at most the oldest, and never more than five files exist.
TEST_F(JournalTest, RandomReadersNeverCostAnOlderFile) {
    std::mt19937 random(2112);
    auto name = [](int i) { return "cycle_launch.foreground." + std::to_string(i) + ".log"; };
    // The older files' contents, by their hashes, so that a failure tells
    // briefly; with a copy waiting under its own name.
    std::hash<std::string> hash;
    auto Older = [&] {
        std::multiset<size_t> older;
        for (int i = 1; i <= kJournalOlderFiles + 1; ++i) {
            std::string file =
                i <= kJournalOlderFiles ? name(i) : "cycle_launch.foreground.rolling.log";
            if (std::filesystem::exists(directory_ + "/" + file)) older.insert(hash(Read(file)));
        }
        return older;
    };
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    const std::string filled = Filled(kJournalRollBytes + 10);
    for (int turn = 0; turn < 16; ++turn) {
        std::string live = filled + "turn " + std::to_string(turn) + "\r\n";
        Write(kLive, live);
        std::multiset<size_t> before = Older();
        bool mapped = random() % 3 == 0;
        options_.mappedFiles.clear();
        options_.heldFiles.clear();
        if (mapped) options_.mappedFiles.push_back(kLive);
        for (int i = 1; i <= kJournalOlderFiles; ++i) {
            if (random() % 4 == 0) options_.heldFiles.push_back(name(i));
        }
        Run();
        std::multiset<size_t> after = Older();
        bool rolled = Read().size() < live.size();
        if (!rolled) {
            EXPECT_EQ(after, before) << turn;
            EXPECT_TRUE(Read().compare(0, live.size(), live) == 0) << turn;
            continue;
        }
        EXPECT_FALSE(mapped) << turn;
        ASSERT_EQ(after.count(hash(live)), 1u) << turn;
        after.erase(after.find(hash(live)));
        // Nothing but the old: every older file stays, but those that made
        // room where all names were taken.
        for (const auto& content : after) EXPECT_EQ(before.count(content), 1u) << turn;
        if (before.size() < static_cast<size_t>(kJournalOlderFiles)) {
            EXPECT_EQ(after, before) << turn;
        }
    }
}

// --- A copy left by a runner that died in the middle of a roll -------------

// Old records, numbered by their run: from..to, none where to < from.
struct Span {
    int from;
    int to;
};

// Enough records to put a file past the roll's bound, and some more.
constexpr int kBound = 100000;
constexpr Span kBig = {1, kBound};
constexpr Span kBigAndMore = {1, kBound + 5};
constexpr Span kAfterBig = {kBound + 1, kBound + 5};
constexpr Span kFew = {1, 3};
constexpr Span kAfterFew = {4, 10};
constexpr Span kNone = {1, 0};

std::string OldJournal(Span span) {
    std::string text = std::string(kMark) + kHeader + "\r\n";
    for (int run = span.from; run <= span.to; ++run) {
        text += "2026-12-09T10:00:00.000+01:00\tend\t1\t" + std::to_string(run) + "\t1\t0\t5\t\r\n";
    }
    return text;
}

constexpr char kRolling[] = "cycle_launch.foreground.rolling.log";

enum CopyReader { kNoReader, kHolds, kFailingDisk };

struct LeftoverCase {
    const char* name;
    Span copy;  // under its own name, beside an older file "one"
    Span live;
    CopyReader reader;
    // .1.log to .4.log and the copy's own name after the start; "copy": the
    // copy as it was, "live": the live file's old content, as a roll copies it.
    std::vector<std::string> after;
};

void PrintTo(const LeftoverCase& c, std::ostream* out) { *out << c.name; }

class JournalLeftoverTest : public JournalTest, public testing::WithParamInterface<LeftoverCase> {
protected:
    static std::string Name(int i) {
        return i <= kJournalOlderFiles ? "cycle_launch.foreground." + std::to_string(i) + ".log"
                                       : kRolling;
    }
    // Every old record, by its run, exactly once across the live and the
    // older files: none lost, none doubled.
    void ExpectEachOldRecordOnce() const {
        const LeftoverCase& c = GetParam();
        int last = std::max(c.copy.to, c.live.to);
        std::vector<int> count(last + 1, 0);
        for (int i = 0; i <= kJournalOlderFiles; ++i) {
            std::istringstream in(Read(i == 0 ? kLive : Name(i)));
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("2026-12-09", 0) != 0) continue;
                int run = std::stoi(Split(line)[3]);
                ASSERT_LE(run, last) << i;
                ++count[run];
            }
        }
        int off = 0;
        int first = 0;
        for (int run = 1; run <= last; ++run) {
            bool old = (run >= c.copy.from && run <= c.copy.to) ||
                       (run >= c.live.from && run <= c.live.to);
            if (count[run] != (old ? 1 : 0) && off++ == 0) first = run;
        }
        EXPECT_EQ(off, 0) << "records not there once, the first run " << first << " "
                          << count[first] << " times";
    }
};

// The copy goes only where the live file still begins with its records;
// any other is kept, and placed as the newest older file.
TEST_P(JournalLeftoverTest, NoRecordIsDoubledNorLost) {
    const LeftoverCase& c = GetParam();
    std::string copy = OldJournal(c.copy);
    std::string live = OldJournal(c.live);
    Write(kRolling, copy);
    Write(kLive, live);
    Write(Name(1), "one");
    if (c.reader == kHolds) options_.heldFiles = {kRolling};
    if (c.reader == kFailingDisk) options_.unreadableFiles = {kRolling};
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    std::vector<std::string> after;
    for (int i = 1; i <= kJournalOlderFiles + 1; ++i) {
        std::string content = Read(Name(i));
        // An older file alike to both is the roll's.
        if (content == copy && (i > kJournalOlderFiles || copy != live)) {
            content = "copy";
        } else if (content.compare(0, live.size(), live) == 0) {
            content = "live";
        }
        after.push_back(content);
    }
    EXPECT_EQ(after, c.after);
    ExpectEachOldRecordOnce();

    // Once the reader lets go, the next start settles what was kept.
    options_.heldFiles.clear();
    options_.unreadableFiles.clear();
    Run();
    EXPECT_FALSE(std::filesystem::exists(directory_ + "/" + kRolling));
    ExpectEachOldRecordOnce();
}

INSTANTIATE_TEST_SUITE_P(
    Table, JournalLeftoverTest,
    testing::Values(
        // Died between the copy and the cut: the live file rolls afresh.
        LeftoverCase{"TheCutNeverHappened", kBig, kBig, kNoReader, {"live", "one", "", "", ""}},
        LeftoverCase{"MoreAfterTheCopy", kBig, kBigAndMore, kNoReader, {"live", "one", "", "", ""}},
        // The cut happened, but every older name was held then.
        LeftoverCase{"AfterTheCut", kBig, kAfterBig, kNoReader, {"copy", "one", "", "", ""}},
        LeftoverCase{"NothingAfterTheCut", kBig, kNone, kNoReader, {"copy", "one", "", "", ""}},
        LeftoverCase{"MoreAfterTheCut", kFew, kAfterFew, kNoReader, {"copy", "one", "", "", ""}},
        LeftoverCase{"NoRecords", kNone, kFew, kNoReader, {"one", "", "", "", ""}},
        // Doubled, but it can't go yet: nor is it placed, nor the live file
        // rolled beside it.
        LeftoverCase{"HeldByAReader", kBig, kBig, kHolds, {"one", "", "", "", "copy"}},
        // Whether it is doubled can't be told.
        LeftoverCase{"OnAFailingDisk", kFew, kAfterFew, kFailingDisk, {"copy", "one", "", "", ""}}),
    [](const testing::TestParamInfo<LeftoverCase>& info) { return info.param.name; });

TEST_F(JournalTest, ADiskThatHangsDelaysTheStopByOneSecondAtMost) {
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.diskHangsAtStop = true;
    options_.stopAtMs = 1000;
    fake::Reset(options_);
    OpenJournal(JournalRole::kForeground);
    RunScheduler(nullptr);
    auto began = std::chrono::steady_clock::now();
    CloseJournal();
    auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(kJournalFlushMs));
    EXPECT_LT(waited, std::chrono::milliseconds(kJournalFlushMs + 500));
}

TEST_F(JournalTest, AHalfRecordLeftByADeadRunnerGoes) {
    Write(kLive, std::string(kMark) + kHeader + "\r\n" +
                     "2026-12-10T11:00:00.000+01:00\tstart\t1\t1\t9\t\t\tC:\\t\\job.exe\r\n" +
                     "2026-12-10T11:00:01.000+01:00\ten");
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    auto records = Records();  // every line with its eight fields
    EXPECT_EQ(Events(records),
              (std::vector<std::string>{"start", "runner", "start", "end", "runner"}));
    EXPECT_NE(records[1][7].find("without its stop record"), std::string::npos);
}

// A power cut leaves zeros where a write was: all of them go, however many,
// and not a byte of the record before them.
class JournalZeroTailTest : public JournalTest, public testing::WithParamInterface<size_t> {};

TEST_P(JournalZeroTailTest, TheWholeTailGoesAndNothingBeforeIt) {
    std::string kept = std::string(kMark) + kHeader + "\r\n" +
                       "2026-12-10T11:00:00.000+01:00\tstart\t1\t1\t9\t\t\tC:\\t\\job.exe\r\n";
    Write(kLive, kept + std::string(GetParam(), '\0'));
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    std::string after = Read();
    EXPECT_EQ(after.find('\0'), std::string::npos);
    EXPECT_EQ(after.substr(0, kept.size()), kept);
    auto records = Records();
    EXPECT_EQ(Events(records),
              (std::vector<std::string>{"start", "runner", "start", "end", "runner"}));
    EXPECT_NE(records[1][7].find("without its stop record"), std::string::npos);
}

// Around the reach of one look back at the tail, and far past it.
INSTANTIATE_TEST_SUITE_P(Table, JournalZeroTailTest, testing::Values(1, 5439, 5440, 100000));

TEST_F(JournalTest, AFileOfNothingButZerosStartsAfresh) {
    Write(kLive, std::string(3000, '\0'));
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    EXPECT_EQ(Events(Records()), (std::vector<std::string>{"runner", "start", "end", "runner"}));
}

// --- Opening ---------------------------------------------------------------

TEST_F(JournalTest, AFileInUseMeansNoJournalAndTheJobsRunAsBefore) {
    options_.heldFiles = {kLive};
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    testing::internal::CaptureStderr();
    Run();
    FlushWarnings();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said,
              "Cycle_launch: Journal (cycle_launch.foreground.log) not opened: error 32 (The "
              "process cannot "
              "access the file because it is being used by another process.); running "
              "without a journal\n");
    EXPECT_EQ(fake::Launches().size(), 1u);
}

TEST_F(JournalTest, HistorySurvivesARestartAndAnUncleanEndIsTold) {
    WriteConfig("0,C:\\t\\job.exe\n");
    options_.stopAtMs = 1000;
    Run();
    Run();
    auto records = Records();
    EXPECT_EQ(Events(records), (std::vector<std::string>{"runner", "start", "end", "runner",
                                                         "runner", "start", "end", "runner"}));
    EXPECT_EQ(records[4][7].find("previous"), std::string::npos);

    // A runner that died leaves no stop record.
    Write(kLive, Read() + "2026-12-10T12:00:05.000+01:00\tstart\t1\t3\t9\t\t\tC:\\t\\job.exe\r\n");
    Run();
    records = Records();
    EXPECT_NE(records[9][7].find("without its stop record"), std::string::npos) << records[9][7];
}

// A link planted under the journal's name is not followed: whatever it
// points to stays as it was, and the runner goes on without a journal.
TEST_F(JournalTest, ALinkUnderTheJournalsNameIsRefused) {
    for (bool hard : {false, true}) {
        std::string target = directory_ + "/elsewhere.txt";
        Write("elsewhere.txt", "precious");
        std::string live = directory_ + "/" + kLive;
        ASSERT_EQ(hard ? link(target.c_str(), live.c_str()) : symlink(target.c_str(), live.c_str()),
                  0);
        WriteConfig("0,C:\\t\\job.exe\n");
        options_.stopAtMs = 1000;
        testing::internal::CaptureStderr();
        Run();
        FlushWarnings();
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said,
                  "Cycle_launch: Journal (cycle_launch.foreground.log) not opened: error 1920 "
                  "(The file cannot be accessed by the system.); running without a journal\n")
            << hard;
        EXPECT_EQ(Read("elsewhere.txt"), "precious") << hard;
        EXPECT_EQ(fake::Launches().size(), 1u) << hard;
        std::filesystem::remove(live);
    }
}

// A run ended at its limit closes with a limit record in place of its end,
// of the same fields, and the limit in its text: a program's own exit code
// 1460 ends with an end record.
TEST_F(JournalTest, ALimitRecordClosesTheRunAndNamesTheLimit) {
    fake::Reset(options_);
    OpenJournal(JournalRole::kForeground);
    LocalTime now = ReadLocalTime();
    JournalEnd(3, 7, 100, kLimitExitCode, 2999, now);
    JournalLimit(3, 8, 101, kLimitExitCode, 3000, 3, now);
    JournalLimit(1024, INT32_MAX, 4294967295u, kLimitExitCode, 2147483647000ull, INT32_MAX, now);
    JournalLimit(5, 9, 102, 0xC000013Au, 61, 60, now);
    CloseJournal();
    std::vector<Fields> records = Records();
    for (Fields& record : records) record.erase(record.begin());  // the time
    EXPECT_EQ(records, (std::vector<Fields>{
                           {"end", "3", "7", "100", "1460", "2999", ""},
                           {"limit", "3", "8", "101", "1460", "3000", "ended at its limit of 3 s"},
                           {"limit", "1024", "2147483647", "4294967295", "1460", "2147483647000",
                            "ended at its limit of 2147483647 s"},
                           // The exit code reads as in an end record, in hex too.
                           {"limit", "5", "9", "102", "3221225786 (0xC000013A)", "61",
                            "ended at its limit of 60 s"}}));
}

// Run numbers wrap from the top to 1, never through 0 or below, and no two
// threads get the same one.
TEST(RunNumberTest, WrapsFromItsTopToOne) {
    SetLastRunNumber(INT32_MAX - 1);
    EXPECT_EQ(NextRunNumber(), INT32_MAX);
    EXPECT_EQ(NextRunNumber(), 1);
    EXPECT_EQ(NextRunNumber(), 2);

    constexpr int kThreads = 4;
    constexpr int kEach = 20000;
    SetLastRunNumber(INT32_MAX - kThreads * kEach / 2);
    std::vector<std::vector<int32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&got, t] {
            for (int i = 0; i < kEach; ++i) got[t].push_back(NextRunNumber());
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<int32_t> all;
    for (const auto& numbers : got) all.insert(all.end(), numbers.begin(), numbers.end());
    std::sort(all.begin(), all.end());
    EXPECT_GT(all.front(), 0);
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.back(), INT32_MAX);
    EXPECT_EQ(all.front(), 1);
    SetLastRunNumber(0);
}

struct QuoteCase {
    const char* text;
    const char* quoted;
};

TEST(QuoteJournalTextTest, KeepsEachRecordOnItsLineForImportCsv) {
    const QuoteCase cases[] = {
        {"C:\\a b\\job.exe -x", "C:\\a b\\job.exe -x"},
        {"a\tb\rc\nd", "a b c d"},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
    };
    for (const auto& c : cases) {
        char quoted[64];
        QuoteJournalText(c.text, quoted, sizeof quoted);
        EXPECT_STREQ(quoted, c.quoted);
    }
    char small[6];
    QuoteJournalText("\"\"\"\"", small, sizeof small);
    EXPECT_STREQ(small, "\"\"\"\"") << "cut, yet still closed";
}

}  // namespace
