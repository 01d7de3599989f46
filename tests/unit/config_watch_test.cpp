// The scheduler taking a new version of its configuration while jobs run:
// on the fake clock, with the file saved as editors save it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/engine/scheduler.h"
#include "jobs/report/journal.h"
#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/program_folder.h"

namespace {

using Starts = std::vector<int64_t>;
using Fields = std::vector<std::string>;

// The file is read at 2, 4, 6 s..., off the tick: a save at 2.5 s is read
// at 4 and 6 s and taken at the tick after, 7 s.
constexpr int64_t kSaved = 2500;

class ConfigWatchTest : public ProgramFolderTest {
protected:
    int Run() {
        fake::Reset(options_);
        SetWarningRole(role_);
        OpenJournal(JournalRole::kForeground);
        int result = RunScheduler(nullptr);
        CloseJournal();
        fake::Finish();
        return result;
    }
    static Starts StartsOf(const std::string& commandLine) {
        Starts starts;
        for (const auto& launch : fake::Launches()) {
            if (launch.commandLine == commandLine) starts.push_back(launch.startMs);
        }
        return starts;
    }
    static std::vector<fake::Launch> LaunchesOf(const std::string& commandLine) {
        std::vector<fake::Launch> found;
        for (const auto& launch : fake::Launches()) {
            if (launch.commandLine == commandLine) found.push_back(launch);
        }
        return found;
    }
    // The journal's records of one event, each as its eight fields.
    std::vector<Fields> Records(const std::string& event) const {
        std::vector<Fields> records;
        for (const Fields& fields : JournalRecords()) {
            if (fields[1] == event) records.push_back(fields);
        }
        return records;
    }
    // line, pid and text of each reload record.
    std::vector<std::string> Reloads() const {
        std::vector<std::string> told;
        for (const Fields& f : Records("reload")) told.push_back(f[2] + "|" + f[4] + "|" + f[7]);
        return told;
    }
    WarningRole role_ = WarningRole::kForeground;
};

std::string Applied(int added, int retired, int edited, int interval, int unchanged) {
    return "||new version applied: " + std::to_string(added) + " added, " +
           std::to_string(retired) + " retired, " + std::to_string(edited) + " edited in place, " +
           std::to_string(interval) + " interval changed, " + std::to_string(unchanged) +
           " unchanged";
}

struct SaveCase {
    const char* name;
    std::vector<std::pair<int64_t, std::string>> saves;
    int64_t takenAtMs;  // when b.exe, the new job, starts
};

void PrintTo(const SaveCase& save, std::ostream* out) { *out << save.name; }

class SaveTest : public ConfigWatchTest, public testing::WithParamInterface<SaveCase> {};

// Whatever an editor leaves on the way, only the whole file read twice alike
// is taken, and the jobs in force run on meanwhile.
TEST_P(SaveTest, OnlyTheFinishedFileIsTaken) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configSaves = GetParam().saves;
    options_.stopAtMs = 12000;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(StartsOf("b.exe"), Starts{GetParam().takenAtMs});
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 3000, 6000, 9000}));
    EXPECT_EQ(Reloads(), (std::vector<std::string>{Applied(1, 0, 0, 0, 1), "2||added: C:\\b.exe"}));
    for (const auto& launch : fake::Launches())
        EXPECT_NE(launch.program, "C:\\b") << "half a line ran";
}

const std::string kWhole = "2,C:\\a.exe\n5,C:\\b.exe\n";

INSTANTIATE_TEST_SUITE_P(
    Table, SaveTest,
    testing::Values(
        SaveCase{"AtOnce", {{kSaved, kWhole}}, 7000},
        SaveCase{"EmptyThenFull", {{kSaved, ""}, {4500, kWhole}}, 9000},
        SaveCase{"HalfALineThenTheWhole", {{kSaved, "2,C:\\a.exe\n5,C:\\b"}, {4500, kWhole}}, 9000},
        SaveCase{"MissingThenThere", {{kSaved, fake::kDeleted}, {4500, kWhole}}, 9000}),
    [](const testing::TestParamInfo<SaveCase>& info) { return info.param.name; });

TEST_F(ConfigWatchTest, TheSameBytesSavedAgainWriteNothing) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configSaves = {{kSaved, "2,C:\\a.exe\n"}, {6500, "2,C:\\a.exe\n"}};
    options_.stopAtMs = 10000;
    Run();
    EXPECT_TRUE(Reloads().empty());
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 3000, 6000, 9000}));
}

// A bad version is told once, in the journal and on standard error, never in
// a box; the jobs in force run on, and the version fixed is taken.
TEST_F(ConfigWatchTest, AMalformedVersionIsToldOnceAndTheTableKept) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configSaves = {{kSaved, "2,C:\\a.exe\nno comma\n5,C:\\b.exe\n"},
                            {10500, "2,C:\\a.exe\n\n5,C:\\b.exe\n"}};
    options_.stopAtMs = 16000;
    testing::internal::CaptureStderr();
    Run();
    FlushWarnings();
    std::string standardError = testing::internal::GetCapturedStderr();
    const std::string rejected =
        "Config File (cycle_launch.txt) Format Error (count 1; lines 2); new version rejected, "
        "the jobs in force stay";
    EXPECT_EQ(Reloads(), (std::vector<std::string>{"||" + rejected, Applied(1, 0, 0, 0, 1),
                                                   "3||added: C:\\b.exe"}));
    EXPECT_EQ(standardError, "Cycle_launch: " + rejected + "\n");
    EXPECT_TRUE(fake::Warnings().empty()) << "a box holds up the scheduler";
    EXPECT_EQ(StartsOf("b.exe"), Starts{15000});
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 3000, 6000, 9000, 12000, 15000}));
}

TEST_F(ConfigWatchTest, TheServiceTellsARejectedVersionInOneEvent) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configSaves = {{kSaved, "2,C:\\a.exe\nno comma\nnor this\n"}};
    options_.stopAtMs = 12000;
    role_ = WarningRole::kService;
    Run();
    std::vector<fake::Event> events = fake::Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<uint32_t>(WarningEvent::kReloadRejected));
    EXPECT_EQ(events[0].ms, 7000);
    EXPECT_NE(events[0].text.find("(count 2; lines 2, 3)"), std::string::npos) << events[0].text;
    EXPECT_TRUE(fake::ConsoleMessages().empty());
}

// A version rejected every 10 s for five minutes: six events in the hour,
// then one with the count of the others once the hour has passed.
TEST_F(ConfigWatchTest, RejectedVersionsAreCappedAnHourAtATime) {
    WriteConfig("2,C:\\a.exe\n");
    for (int k = 0; k < 30; ++k) {
        options_.configSaves.push_back(
            {kSaved + 10000 * k, "2,C:\\a.exe\nno comma " + std::to_string(k) + "\n"});
    }
    options_.stopAtMs = 7000 + 3600000 + 2000;
    role_ = WarningRole::kService;
    Run();
    std::vector<fake::Event> events = fake::Events();
    // Each told at its taking, unless the one before was still on its way:
    // then it is counted among those held back.
    ASSERT_GE(events.size(), 2u);
    ASSERT_LE(events.size(), 7u);
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].id, static_cast<uint32_t>(WarningEvent::kReloadRejected));
        EXPECT_LT(events[i].ms, 7000 + 6 * 10000);
    }
    EXPECT_EQ(events.back().ms, 7000 + 3600000);
    EXPECT_EQ(events.back().text,
              "Rejected versions of Config File (cycle_launch.txt) held back: " +
                  std::to_string(30 - (events.size() - 1)));
    // The journal keeps every one of them.
    int rejected = 0;
    for (const std::string& told : Reloads())
        rejected += told.find("rejected") != std::string::npos;
    EXPECT_EQ(rejected, 30);
}

// A version that replaces every job tells the first changes one by one and
// the rest in one count.
TEST_F(ConfigWatchTest, OneReloadTellsAtMostSixtyFourChangedJobs) {
    std::string before;
    std::string after;
    for (int k = 0; k < 100; ++k) {
        before += "9,C:\\old" + std::to_string(k) + ".exe\n";
        after += "9,C:\\new" + std::to_string(k) + ".exe\n";
    }
    WriteConfig(before);
    options_.configSaves = {{kSaved, after}};
    options_.stopAtMs = 8000;
    Run();
    std::vector<std::string> told = Reloads();
    ASSERT_EQ(told.size(), 1u + 64u + 1u);
    EXPECT_EQ(told[0], Applied(100, 100, 0, 0, 0));
    EXPECT_EQ(told.back(), "||and 136 more jobs changed, not listed");
    EXPECT_EQ(StartsOf("new99.exe"), Starts{7000}) << "a change not listed is still made";
}

// A removed job's run goes on and is never started again; the stop still
// ends it. Back while that run goes on, the job takes it up.
TEST_F(ConfigWatchTest, ARetiredRunGoesOnAndIsTakenUpWhenItsJobComesBack) {
    WriteConfig("1,C:\\long.exe\n1,C:\\a.exe\n");
    options_.childSeconds = 100;
    options_.briefPrograms = {"C:\\a.exe"};
    options_.configSaves = {{kSaved, "1,C:\\a.exe\n"}, {8500, "1,C:\\a.exe\n1,C:\\long.exe\n"}};
    options_.stopAtMs = 16000;
    Run();
    std::vector<fake::Launch> long_ = LaunchesOf("long.exe");
    ASSERT_EQ(long_.size(), 1u) << "a second run beside the first";
    // In row 1 past the one job of the version in force, a.exe keeps its rhythm.
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 2000, 4000, 6000, 8000, 10000, 12000, 14000}));
    EXPECT_TRUE(long_[0].terminated);
    EXPECT_EQ(long_[0].exitCode, 2u);
    EXPECT_EQ(long_[0].endMs, 16000);
    // The fake numbers its children 1, 2, ... in launch order.
    auto launches = fake::Launches();
    const std::string pid = std::to_string(
        std::find_if(launches.begin(), launches.end(),
                     [](const fake::Launch& l) { return l.commandLine == "long.exe"; }) -
        launches.begin() + 1);
    EXPECT_EQ(Reloads(),
              (std::vector<std::string>{
                  Applied(0, 1, 0, 0, 1),
                  "1|" + pid + "|retired: C:\\long.exe; its run goes on, pid " + pid,
                  Applied(1, 0, 0, 0, 1),
                  "2|" + pid + "|added: C:\\long.exe; takes up its run in progress, pid " + pid}));
    // The kill keeps the line and run of its start.
    std::vector<Fields> kills = Records("kill");
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0][2], "1");
    for (const Fields& start : Records("start")) {
        if (start[7] == "C:\\long.exe") {
            EXPECT_EQ(kills[0][3], start[3]);
        }
    }
}

// Edited, then removed while the old command still runs, then put back:
// the run going on is the old command's, and the job takes it up.
TEST_F(ConfigWatchTest, ARunEditedThenRetiredIsTakenUpByItsOwnCommand) {
    WriteConfig("1,C:\\x.exe a\n1,C:\\other.exe\n");
    options_.childSeconds = 100;
    options_.briefPrograms = {"C:\\other.exe"};
    options_.configSaves = {{kSaved, "1,C:\\x.exe b\n1,C:\\other.exe\n"},
                            {8500, "1,C:\\other.exe\n"},
                            {14500, "1,C:\\other.exe\n1,C:\\x.exe a\n"}};
    options_.stopAtMs = 20000;
    Run();
    EXPECT_EQ(LaunchesOf("x.exe a").size(), 1u) << "a second run beside the first";
    EXPECT_TRUE(LaunchesOf("x.exe b").empty());
}

// A line of the same program inserted above a running job, and the job's
// own line edited in the same save: the edit is the line that kept the
// job's words, and waits for its run; the inserted line is new.
TEST_F(ConfigWatchTest, AnInsertedLineOfTheSameProgramNeverRunsTheJobTwice) {
    WriteConfig("5,C:\\ps.exe -f backup.ps1\n");
    options_.childSeconds = 8;
    options_.configSaves = {
        {kSaved, "5,C:\\ps.exe -f report.ps1\n5,C:\\ps.exe -f backup.ps1 -full\n"}};
    options_.stopAtMs = 18000;
    Run();
    ASSERT_EQ(LaunchesOf("ps.exe -f backup.ps1").size(), 1u);
    int64_t backupEnd = LaunchesOf("ps.exe -f backup.ps1")[0].endMs;
    EXPECT_EQ(backupEnd, 8000);
    EXPECT_EQ(StartsOf("ps.exe -f report.ps1"), Starts{7000});
    Starts full = StartsOf("ps.exe -f backup.ps1 -full");
    ASSERT_FALSE(full.empty());
    EXPECT_GE(full[0], backupEnd) << "the edit ran beside the run it edits";
}

// Edited, removed, then the edit put back while the old command still
// runs: the edit takes up the retired row and waits for that run.
TEST_F(ConfigWatchTest, AnEditPutBackAfterItsRemovalWaitsForTheOldRun) {
    WriteConfig("1,C:\\x.exe a\n1,C:\\other.exe\n");
    options_.childSeconds = 100;
    options_.briefPrograms = {"C:\\other.exe"};
    options_.configSaves = {{kSaved, "1,C:\\x.exe b\n1,C:\\other.exe\n"},
                            {8500, "1,C:\\other.exe\n"},
                            {14500, "1,C:\\other.exe\n1,C:\\x.exe b\n"}};
    options_.stopAtMs = 24000;
    Run();
    EXPECT_EQ(LaunchesOf("x.exe a").size(), 1u);
    EXPECT_TRUE(LaunchesOf("x.exe b").empty()) << "the edit ran beside the old run";
    EXPECT_EQ(Records("kill").size(), 1u);
}

// A fix of the program path's letter case alone is no edit: a one-shot job
// does not run again, and the row takes the new spelling.
TEST_F(ConfigWatchTest, AProgramPathInAnotherCaseRunsNothingAgain) {
    WriteConfig("0,C:\\Tools\\init.exe\n");
    options_.childSeconds = 1;
    options_.configSaves = {{kSaved, "0,c:\\tools\\init.exe\n"}};
    options_.stopAtMs = 12000;
    Run();
    EXPECT_EQ(fake::Launches().size(), 1u);
    EXPECT_EQ(Reloads(), std::vector<std::string>{Applied(0, 0, 0, 0, 1)});
}

// A file left with no job at all (a byte-order mark, blank lines) is not
// ready, as an empty one: it retires nothing.
TEST_F(ConfigWatchTest, AVersionWithoutJobsIsNotTaken) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configSaves = {{kSaved, "\xEF\xBB\xBF"}, {6500, "\r\n  \r\n"}};
    options_.reloadRequestsAtMs = {9000};
    options_.stopAtMs = 12000;
    Run();
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 3000, 6000, 9000}));
    EXPECT_EQ(Reloads(),
              std::vector<std::string>{
                  "||paramchange: cycle_launch.txt holds no job; the jobs in force stay"});
}

TEST_F(ConfigWatchTest, ARetiredRunThatEndsLeavesItsRowToANewJob) {
    WriteConfig("1,C:\\ends.exe\n");
    options_.childSeconds = 8;  // ends at 8 s, while retired
    options_.briefPrograms = {"C:\\c.exe"};
    options_.configSaves = {{kSaved, "1,C:\\b.exe\n"}, {8500, "1,C:\\b.exe\n-1,C:\\c.exe\n"}};
    options_.stopAtMs = 17000;
    Run();
    EXPECT_EQ(StartsOf("ends.exe"), Starts{0});
    // c.exe takes the freed row 0 and restarts after every run.
    EXPECT_EQ(StartsOf("c.exe"), (Starts{13000, 14000, 15000, 16000}));
    ASSERT_EQ(LaunchesOf("c.exe").size(), 4u);
    EXPECT_EQ(LaunchesOf("c.exe")[0].job, 0);
    std::vector<Fields> ends = Records("end");
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends[0][2], "1") << "the end of the retired run keeps its line";
}

struct EditCase {
    const char* name;
    const char* before;
    const char* after;
    Starts oldStarts;
    Starts newStarts;
};

void PrintTo(const EditCase& edit, std::ostream* out) { *out << edit.name; }

class EditInPlaceTest : public ConfigWatchTest, public testing::WithParamInterface<EditCase> {};

// Saved while its run goes on (0 to 5 s), the edit waits for that run to
// end, then for its interval: never two runs at once.
TEST_P(EditInPlaceTest, TheNewCommandWaitsForTheRunInProgress) {
    WriteConfig(GetParam().before);
    options_.childSeconds = 5;
    options_.configSaves = {{500, GetParam().after}};
    options_.stopAtMs = 12000;
    Run();
    EXPECT_EQ(StartsOf("job.exe -old"), GetParam().oldStarts);
    EXPECT_EQ(StartsOf("job.exe -new"), GetParam().newStarts);
    EXPECT_EQ(Reloads().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EditInPlaceTest,
    testing::Values(
        EditCase{"WaitsItsInterval", "3,C:\\job.exe -old\n", "3,C:\\job.exe -new\n", {0}, {8000}},
        EditCase{"IntervalZeroRunsOnceAfterTheOldRun",
                 "0,C:\\job.exe -old\n",
                 "0,C:\\job.exe -new\n",
                 {0},
                 {6000}},
        EditCase{
            "MovedToAnotherLine", "3,C:\\job.exe -old\n", "\n\n3,C:\\job.exe -new\n", {0}, {8000}}),
    [](const testing::TestParamInfo<EditCase>& info) { return info.param.name; });

// The idle count goes on: a job idle for 5 s whose interval drops to 3 is
// due at the next tick.
TEST_F(ConfigWatchTest, AChangedIntervalKeepsTheIdleCount) {
    WriteConfig("10,C:\\a.exe\n");
    options_.configSaves = {{500, "3,C:\\a.exe\n"}};
    options_.stopAtMs = 11000;
    Run();
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 6000, 10000}));
    EXPECT_EQ(Reloads(), (std::vector<std::string>{Applied(0, 0, 0, 1, 0),
                                                   "1||interval 3, was 10: C:\\a.exe"}));
}

// An interval-0 job has counted its idle time since its run ended at 0 s:
// given an interval at 7 s, it is due at once.
TEST_F(ConfigWatchTest, AnIntervalGivenToAnIntervalZeroJobCountsItsIdleTime) {
    WriteConfig("0,C:\\a.exe\n");
    options_.configSaves = {{kSaved, "3,C:\\a.exe\n"}};
    options_.stopAtMs = 13000;
    Run();
    EXPECT_EQ(StartsOf("a.exe"), (Starts{0, 8000, 12000}));
}

// A job that has run and is given interval 0 has had its one run: it runs
// no more, whether idle at the save or running then.
struct ZeroCase {
    const char* name;
    int64_t childSeconds;
    Starts expected;
};

void PrintTo(const ZeroCase& zero, std::ostream* out) { *out << zero.name; }

class IntervalZeroTest : public ConfigWatchTest, public testing::WithParamInterface<ZeroCase> {};

TEST_P(IntervalZeroTest, AJobThatHasRunRunsNoMore) {
    WriteConfig("2,C:\\a.exe\n");
    options_.childSeconds = GetParam().childSeconds;
    options_.configSaves = {{kSaved, "0,C:\\a.exe\n"}};
    options_.stopAtMs = 15000;
    Run();
    EXPECT_EQ(StartsOf("a.exe"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, IntervalZeroTest,
                         testing::Values(ZeroCase{"IdleAtTheSave", 0, {0, 3000, 6000}},
                                         ZeroCase{"RunningAtTheSave", 6, {0}}),
                         [](const testing::TestParamInfo<ZeroCase>& info) {
                             return info.param.name;
                         });

// A line moved while its run goes on: that run's records keep the old line,
// the next run has the new one.
TEST_F(ConfigWatchTest, ARunKeepsTheLineItStartedWith) {
    WriteConfig("1,C:\\a.exe\n");
    options_.childSeconds = 5;
    options_.configSaves = {{500, "\n\n1,C:\\a.exe\n"}};
    options_.stopAtMs = 8000;
    Run();
    std::vector<Fields> starts = Records("start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0][2], "1");
    EXPECT_EQ(starts[1][2], "3");
    std::vector<Fields> ends = Records("end");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0][2], "1");
    EXPECT_EQ(ends[0][3], "1");
}

// A new job takes a free row with its state anew: its launch warning is
// told though the row's last job had told its own.
TEST_F(ConfigWatchTest, ANewJobInAFreedRowWarnsAnew) {
    // Idle at the save, so its row is free at once.
    WriteConfig("100,C:\\gone.exe\n");
    options_.missingPrograms = {"C:\\gone.exe", "C:\\gone2.exe"};
    options_.configSaves = {{kSaved, "100,C:\\gone2.exe\n"}};
    options_.stopAtMs = 9000;
    role_ = WarningRole::kService;
    Run();
    std::vector<int64_t> launchEvents;
    for (const auto& event : fake::Events()) {
        if (event.id == static_cast<uint32_t>(WarningEvent::kLaunchError))
            launchEvents.push_back(event.ms);
    }
    EXPECT_EQ(launchEvents, (std::vector<int64_t>{0, 7000}));
    ASSERT_FALSE(LaunchesOf("gone2.exe").empty());
    EXPECT_EQ(LaunchesOf("gone2.exe")[0].job, 0);
}

// The service manager's paramchange has the file read at the next tick and
// taken at the one after, without a second read; one that finds nothing
// new says so.
TEST_F(ConfigWatchTest, AParamChangeTakesTheFileAtOnce) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configSaves = {{2200, kWhole}};
    options_.reloadRequestsAtMs = {2300, 5300};
    options_.stopAtMs = 7000;
    Run();
    EXPECT_EQ(StartsOf("b.exe"), Starts{4000});
    EXPECT_EQ(Reloads(),
              (std::vector<std::string>{"||paramchange: new version applied: 1 added, 0 retired, 0 "
                                        "edited in place, 0 interval changed, 1 unchanged",
                                        "2||added: C:\\b.exe",
                                        "||paramchange: nothing new in cycle_launch.txt"}));
}

}  // namespace
