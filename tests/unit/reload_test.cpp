#include "jobs/config/reload.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "jobs/config/config.h"

namespace {

// A row in force; the n-th of a case's list is row n. No command: a free row.
struct Row {
    const char* command;
    int32_t interval;
    int32_t line;
    bool running;
    bool retired;
    int32_t limit = 0;
    // What its run runs, where an edit waits for it; else a running row's command.
    const char* runs = nullptr;
};

struct DecisionCase {
    const char* name;
    std::vector<Row> rows;
    const char* config;  // the new version's bytes
    std::vector<std::string> expected;
};

void PrintTo(const DecisionCase& decision, std::ostream* out) { *out << decision.name; }

// A change as "<action> row R line L": the line the job has in the new
// version, none for a retired one; then the limit the job carries, if any.
std::string Describe(const ReloadChange& change, const JobVersion& version) {
    static const char* const names[] = {"unchanged", "interval", "edited",
                                        "retired",   "added",    "edit cancelled"};
    std::string text =
        std::string(names[static_cast<int>(change.action)]) + " row " + std::to_string(change.row);
    if (change.newJob < 0) return text;
    const VersionJob& job = version.jobs[change.newJob];
    text += " line " + std::to_string(job.line);
    if (job.limit != 0) text += " limit " + std::to_string(job.limit);
    return text;
}

std::vector<std::string> Decide(const std::vector<Row>& rows, const std::string& config) {
    static JobInForce inForce[kMaxJobs];
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        const Row* row = i < static_cast<int32_t>(rows.size()) ? &rows[i] : nullptr;
        bool inUse = row != nullptr && row->command != nullptr;
        const char* runs = nullptr;
        if (inUse && row->running) runs = row->runs != nullptr ? row->runs : row->command;
        inForce[i] = inUse ? JobInForce{true,      row->retired, row->running, row->interval,
                                        row->line, row->command, row->limit,   runs}
                           : JobInForce{false, false, false, 0, 0, "", 0};
    }
    auto version = std::make_unique<JobVersion>();
    auto plan = std::make_unique<ReloadPlan>();
    ParseJobVersion(config.data(), config.size(), version.get());
    DecideReload(inForce, *version, plan.get());
    switch (plan->verdict) {
    case ReloadVerdict::kFormatErrors: {
        std::string text = "rejected: format errors on lines";
        for (int32_t i = 0; i < version->formatErrors.count; ++i) {
            text += " " + std::to_string(version->formatErrors.lines[i]);
        }
        return {text};
    }
    case ReloadVerdict::kTooManyRows:
        return {"rejected: needs " + std::to_string(plan->rowsNeeded) + " rows"};
    case ReloadVerdict::kApply:
        break;
    }
    std::vector<std::string> changes;
    for (int32_t i = 0; i < plan->changeCount; ++i)
        changes.push_back(Describe(plan->changes[i], *version));
    int32_t counted = 0;
    for (int32_t count : plan->counts) counted += count;
    EXPECT_EQ(counted, plan->changeCount);
    return changes;
}

class ReloadDecisionTest : public testing::TestWithParam<DecisionCase> {};

TEST_P(ReloadDecisionTest, MatchesJobsAsTheAdministratorMeantThem) {
    EXPECT_EQ(Decide(GetParam().rows, GetParam().config), GetParam().expected);
}

const Row kA{"C:\\a.exe", 5, 1, false, false};
const Row kB{"C:\\b.exe", 5, 2, false, false};

INSTANTIATE_TEST_SUITE_P(
    Table, ReloadDecisionTest,
    testing::Values(
        DecisionCase{"Unchanged", {kA}, "5,C:\\a.exe\n", {"unchanged row 0 line 1"}},
        DecisionCase{"IntervalChanged", {kA}, "9,C:\\a.exe\n", {"interval row 0 line 1"}},
        DecisionCase{
            "Removed", {kA, kB}, "5,C:\\b.exe\n", {"unchanged row 1 line 1", "retired row 0"}},
        // A retired job whose run goes on holds its row; one coming back takes it up.
        DecisionCase{"RetiredRunHoldsItsRow",
                     {{"C:\\a.exe", 5, 1, true, true}},
                     "5,C:\\b.exe\n",
                     {"added row 1 line 1"}},
        DecisionCase{"ReAddedTakesUpItsRetiredRun",
                     {{"C:\\a.exe", 5, 1, true, true}},
                     "7,C:\\a.exe\n",
                     {"added row 0 line 1"}},
        // A retired row whose run goes on is paired as any other: an edit
        // of it waits for that run.
        DecisionCase{"RetiredIsTakenUpAsAnEdit",
                     {{"C:\\a.exe -x", 5, 1, true, true}},
                     "5,C:\\a.exe -y\n",
                     {"edited row 0 line 1"}},
        DecisionCase{"NewTakesTheFirstFreeRow",
                     {{"C:\\x.exe", 5, 1, true, false}, {nullptr, 0, 0, false, false}, kB},
                     "5,C:\\x.exe\n5,C:\\b.exe\n5,C:\\c.exe\n",
                     {"unchanged row 0 line 1", "unchanged row 2 line 2", "added row 1 line 3"}},
        DecisionCase{"EditedInPlace",
                     {{"C:\\a.exe -x", 5, 1, true, false}},
                     "5,C:\\a.exe -y\n",
                     {"edited row 0 line 1"}},
        // Windows takes a path in any case: still the same program.
        DecisionCase{"EditedInPlaceInAnotherCase",
                     {{"C:\\Tools\\bk.exe -a", 5, 1, true, false}},
                     "5,c:\\tools\\BK.EXE -b\n",
                     {"edited row 0 line 1"}},
        DecisionCase{"LineMoved",
                     {kA, kB},
                     "\n5,C:\\b.exe\n5,C:\\a.exe\n",
                     {"unchanged row 1 line 2", "unchanged row 0 line 3"}},
        DecisionCase{"LineMovedAndEdited",
                     {{"C:\\a.exe -x", 5, 1, false, false}, kB},
                     "5,C:\\b.exe\n7,C:\\a.exe -y\n",
                     {"unchanged row 1 line 1", "edited row 0 line 2"}},
        DecisionCase{"ReorderedLinesNoAction",
                     {kA, kB},
                     "5,C:\\b.exe\n5,C:\\a.exe\n",
                     {"unchanged row 1 line 1", "unchanged row 0 line 2"}},
        // The n-th occurrence of a command is the n-th job of it.
        DecisionCase{"DuplicateRemovedIsTheLastOne",
                     {{"C:\\a.exe", 5, 1, false, false}, {"C:\\a.exe", 10, 2, false, false}},
                     "10,C:\\a.exe\n",
                     {"interval row 0 line 1", "retired row 1"}},
        DecisionCase{"DuplicateAdded",
                     {kA},
                     "5,C:\\a.exe\n5,C:\\a.exe\n",
                     {"unchanged row 0 line 1", "added row 1 line 2"}},
        // Several jobs of one program pair by the most argument words in
        // common, a tie by the nearer line, then the earlier one.
        DecisionCase{"SharedProgramEditedOnItsLines",
                     {{"C:\\ps.exe -f x.ps1", 5, 1, false, false},
                      {"C:\\ps.exe -f y.ps1", 5, 2, false, false}},
                     "5,C:\\ps.exe -f x2.ps1\n5,C:\\ps.exe -f y2.ps1\n",
                     {"edited row 0 line 1", "edited row 1 line 2"}},
        DecisionCase{"SharedProgramTieGoesToTheNearerLine",
                     {{"C:\\ps.exe -f x.ps1", 5, 1, false, false},
                      {"C:\\ps.exe -f y.ps1", 5, 2, false, false}},
                     "\n5,C:\\ps.exe -f x2.ps1\n5,C:\\ps.exe -f y2.ps1\n",
                     {"edited row 1 line 2", "edited row 0 line 3"}},
        DecisionCase{"SharedProgramTieOnDistanceGoesToTheEarlierLine",
                     {{"C:\\ps.exe -f x.ps1", 5, 2, false, false}},
                     "5,C:\\ps.exe -f a.ps1\n\n5,C:\\ps.exe -f b.ps1\n",
                     {"edited row 0 line 1", "added row 1 line 3"}},
        // A line inserted above a running job of the same program, and the
        // job's own line edited: the edit is the one with the job's words.
        DecisionCase{"InsertedAboveAndEditedPairsByWords",
                     {{"C:\\ps.exe -f backup.ps1", 5, 1, true, false}},
                     "5,C:\\ps.exe -f report.ps1\n5,C:\\ps.exe -f backup.ps1 -full\n",
                     {"added row 1 line 1", "edited row 0 line 2"}},
        DecisionCase{"MostWordsInCommonWinOverTheNearerLine",
                     {{"C:\\ps.exe -f a.ps1 -q", 5, 1, false, false},
                      {"C:\\ps.exe -f b.ps1 -q", 5, 2, false, false}},
                     "5,C:\\ps.exe -f b.ps1 -v\n5,C:\\ps.exe -f a.ps1 -v\n",
                     {"edited row 1 line 1", "edited row 0 line 2"}},
        // No word in common, and more than one of the program: not guessed.
        DecisionCase{
            "SharedProgramWithNoWordInCommonIsNotPaired",
            {{"C:\\ps.exe x.ps1", 5, 1, true, false}, {"C:\\ps.exe y.ps1", 5, 2, true, false}},
            "5,C:\\ps.exe x2.ps1\n5,C:\\ps.exe y2.ps1\n",
            {"added row 2 line 1", "added row 3 line 2", "retired row 0", "retired row 1"}},
        // The program path in another letter case is the same command.
        DecisionCase{"CaseOfTheProgramPathAloneChangesNothing",
                     {{"C:\\Tools\\init.exe", 0, 1, false, false}},
                     "0,c:\\tools\\INIT.exe\n",
                     {"unchanged row 0 line 1"}},
        DecisionCase{"CaseOfAnArgumentIsAnEdit",
                     {{"C:\\a.exe -X", 5, 1, false, false}},
                     "5,c:\\A.exe -x\n",
                     {"edited row 0 line 1"}},
        DecisionCase{"LineEndsOnlyChanged",
                     {kA, kB},
                     "5,C:\\a.exe\r\n5,C:\\b.exe\r\n",
                     {"unchanged row 0 line 1", "unchanged row 1 line 2"}},
        DecisionCase{"SpacesTheReaderDropsChangeNothing",
                     {kA},
                     " 5 ,  C:\\a.exe\n",
                     {"unchanged row 0 line 1"}},
        // A trailing space belongs to the command as read.
        DecisionCase{"SpaceInTheCommandIsAnEdit", {kA}, "5,C:\\a.exe \n", {"edited row 0 line 1"}},
        DecisionCase{"WhitespaceLinesCarryNoJob",
                     {kA},
                     "  \n\t\n\r\n5,C:\\a.exe\n\n",
                     {"unchanged row 0 line 4"}},
        DecisionCase{"EmptyVersionRetiresAll", {kA, kB}, "", {"retired row 0", "retired row 1"}},
        DecisionCase{"Malformed",
                     {kA},
                     "5,C:\\a.exe\nno comma\n\n7\n",
                     {"rejected: format errors on lines 2 4"}},
        // The limit is part of the interval field: a change of it is no new
        // job, whether the run goes on or not.
        DecisionCase{"LimitAdded", {kA}, "5/30,C:\\a.exe\n", {"interval row 0 line 1 limit 30"}},
        DecisionCase{"LimitAddedWhileItRuns",
                     {{"C:\\a.exe", 5, 1, true, false}},
                     "5/30,C:\\a.exe\n",
                     {"interval row 0 line 1 limit 30"}},
        DecisionCase{"LimitChanged",
                     {{"C:\\a.exe", 5, 1, true, false, 30}},
                     "5/60,C:\\a.exe\n",
                     {"interval row 0 line 1 limit 60"}},
        DecisionCase{"LimitRemoved",
                     {{"C:\\a.exe", 5, 1, true, false, 30}},
                     "5,C:\\a.exe\n",
                     {"interval row 0 line 1"}},
        DecisionCase{"LimitKeptWithOtherSpaces",
                     {{"C:\\a.exe", 5, 1, true, false, 30}},
                     " 5 / 3 0 ,C:\\a.exe\n",
                     {"unchanged row 0 line 1 limit 30"}},
        DecisionCase{"LimitAndIntervalChanged",
                     {{"C:\\a.exe", 5, 1, false, false, 30}},
                     "9/60,C:\\a.exe\n",
                     {"interval row 0 line 1 limit 60"}},
        // An edit carries its limit, for the run it waits for.
        DecisionCase{"EditedWithALimit",
                     {{"C:\\a.exe -x", 5, 1, true, false}},
                     "5/30,C:\\a.exe -y\n",
                     {"edited row 0 line 1 limit 30"}},
        DecisionCase{"RetiredTakenUpWithALimit",
                     {{"C:\\a.exe", 5, 1, true, true}},
                     "5/30,C:\\a.exe\n",
                     {"added row 0 line 1 limit 30"}},
        // An edit waits for the run of -q; the -q line back is that run's
        // job, wherever it stands, and the edit's text is a job of its own.
        DecisionCase{"OldTextBackBesideTheEditCancelsTheEdit",
                     {{"C:\\p\\bk.exe -q -full", 5, 1, true, false, 0, "C:\\p\\bk.exe -q"}},
                     "5,C:\\p\\bk.exe -q\n5,C:\\p\\bk.exe -q -full\n",
                     {"edit cancelled row 0 line 1", "added row 1 line 2"}},
        DecisionCase{"OldTextBackBelowTheEditCancelsTheEdit",
                     {{"C:\\p\\bk.exe -q -full", 5, 1, true, false, 0, "C:\\p\\bk.exe -q"}},
                     "5,C:\\p\\bk.exe -q -full\n5,C:\\P\\BK.exe -q\n",
                     {"added row 1 line 1", "edit cancelled row 0 line 2"}},
        DecisionCase{"OldTextBackAloneCancelsTheEdit",
                     {{"C:\\p\\bk.exe -q -full", 5, 1, true, false, 0, "C:\\p\\bk.exe -q"}},
                     "7,C:\\p\\bk.exe -q\n",
                     {"edit cancelled row 0 line 1"}},
        DecisionCase{"EditSavedAgainStillWaits",
                     {{"C:\\p\\bk.exe -q -full", 5, 1, true, false, 0, "C:\\p\\bk.exe -q"}},
                     "5,C:\\p\\bk.exe -q -full\n",
                     {"unchanged row 0 line 1"}},
        // Lines of one command pair in order, whichever runs: each keeps
        // its own interval and limit. That the edited one's run goes on
        // beside the kept line is the scheduler's to weigh at the next start.
        DecisionCase{"LinesOfOneCommandPairInOrderWhicheverRuns",
                     {{"C:\\a.exe", 5, 1, false, false, 30}, {"C:\\a.exe", 5, 2, true, false}},
                     "5/30,C:\\a.exe\n5,C:\\a.exe -full\n",
                     {"unchanged row 0 line 1 limit 30", "edited row 1 line 2"}},
        DecisionCase{"MalformedLimitRejectsTheVersionWhole",
                     {{"C:\\a.exe", 5, 1, true, false, 30}},
                     "5,C:\\a.exe\n5/0,C:\\b.exe\n5/,C:\\c.exe\n5/10/5,C:\\d.exe\n",
                     {"rejected: format errors on lines 2 3 4"}}),
    [](const testing::TestParamInfo<DecisionCase>& info) { return info.param.name; });

std::string Jobs(const char* program, int32_t count) {
    std::string config;
    for (int32_t i = 0; i < count; ++i)
        config += "5,C:\\" + std::string(program) + std::to_string(i) + ".exe\n";
    return config;
}

// 1000 jobs replaced by 1000 others: idle, their rows are free at once;
// running, they hold them and the version doesn't fit.
TEST(ReloadRowLimitTest, AVersionNeedingMoreRowsThanAreFreeIsRejectedWhole) {
    static char commands[1000][kTextSize];
    std::vector<Row> idle;
    std::vector<Row> running;
    for (int32_t i = 0; i < 1000; ++i) {
        std::snprintf(commands[i], kTextSize, "C:\\old%ld.exe", static_cast<long>(i));
        idle.push_back(Row{commands[i], 5, i + 1, false, false});
        running.push_back(Row{commands[i], 5, i + 1, true, false});
    }
    std::vector<std::string> replaced = Decide(idle, Jobs("new", 1000));
    ASSERT_EQ(replaced.size(), 2000u);
    EXPECT_EQ(replaced[999], "added row 999 line 1000");
    EXPECT_EQ(replaced[1999], "retired row 999");
    EXPECT_EQ(Decide(running, Jobs("new", 1000)),
              std::vector<std::string>{"rejected: needs 2000 rows"});
    // 24 more rows are there: a version that keeps 1000 and adds 24 fits, one more doesn't.
    EXPECT_EQ(Decide(running, Jobs("old", 1000) + Jobs("more", 24)).size(), 1024u);
    EXPECT_EQ(Decide(running, Jobs("old", 1000) + Jobs("more", 25)),
              std::vector<std::string>{"rejected: needs 1025 rows"});
    EXPECT_EQ(Decide({}, Jobs("new", 1025)), std::vector<std::string>{"rejected: needs 1025 rows"});
    // Read to its end: every job past the limit counts, and a malformed
    // line further down still rejects the version for its format.
    EXPECT_EQ(Decide({}, Jobs("new", 1030)), std::vector<std::string>{"rejected: needs 1030 rows"});
    EXPECT_EQ(Decide({}, Jobs("new", 1025) + "\nno comma\n"),
              std::vector<std::string>{"rejected: format errors on lines 1027"});
}

std::vector<std::string> WordsOf(const std::string& command) {
    std::vector<std::string> words;
    std::string word;
    for (char c : command + " ") {
        if (c != ' ') {
            word += c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

bool SameProgramWithAWordInCommon(const std::string& a, const std::string& b) {
    std::vector<std::string> wordsA = WordsOf(a);
    std::vector<std::string> wordsB = WordsOf(b);
    if (wordsA.empty() || wordsB.empty()) return false;
    std::string programA = wordsA[0];
    std::string programB = wordsB[0];
    for (char& c : programA) c = static_cast<char>(std::tolower(c));
    for (char& c : programB) c = static_cast<char>(std::tolower(c));
    if (programA != programB) return false;
    for (size_t i = 1; i < wordsA.size(); ++i) {
        for (size_t j = 1; j < wordsB.size(); ++j) {
            if (wordsA[i] == wordsB[j]) return true;
        }
    }
    return false;
}

// Random tables in force and random versions, of few programs and few
// words, so that pairing has choices to make. After every decision: each
// row and each new job in one change at most, every row in force accounted
// for, no run going on handed to another job, and no running job left
// beside a new line it shares a word with, unless that line went elsewhere.
TEST(ReloadRandomTest, NoRunGoingOnIsLostOrSharedThroughRandomSaves) {
    const char* const programs[] = {"C:\\ps.exe", "c:\\PS.exe", "C:\\cmd.exe", "C:\\x.exe"};
    const char* const words[] = {"-f", "a.ps1", "b.ps1", "-full", "/c", "x"};
    std::mt19937 random(20);
    static char commands[64][kTextSize];
    static char runCommands[64][kTextSize];
    static JobInForce inForce[kMaxJobs];
    auto version = std::make_unique<JobVersion>();
    auto plan = std::make_unique<ReloadPlan>();
    auto command = [&](char* text) {
        std::string built = programs[random() % 4];
        int32_t count = static_cast<int32_t>(random() % 3);
        for (int32_t w = 0; w < count; ++w) built += std::string(" ") + words[random() % 6];
        std::snprintf(text, kTextSize, "%s", built.c_str());
    };
    for (int32_t step = 0; step < 3000; ++step) {
        int32_t rows = static_cast<int32_t>(random() % 8);
        for (int32_t i = 0; i < kMaxJobs; ++i)
            inForce[i] = JobInForce{false, false, false, 0, 0, "", 0};
        for (int32_t i = 0; i < rows; ++i) {
            command(commands[i]);
            bool retired = random() % 4 == 0;
            bool running = retired || random() % 2 == 0;
            int32_t limit = static_cast<int32_t>(random() % 3);
            // Now and then an edit waits for the run, which runs another command.
            const char* runs = nullptr;
            if (running) {
                std::snprintf(runCommands[i], kTextSize, "%s", commands[i]);
                if (!retired && random() % 3 == 0) command(runCommands[i]);
                runs = runCommands[i];
            }
            inForce[i] =
                JobInForce{random() % 5 != 0, retired, running, 5, i + 1, commands[i], limit, runs};
        }
        std::string config;
        int32_t lines = static_cast<int32_t>(random() % 8);
        for (int32_t j = 0; j < lines; ++j) {
            char text[kTextSize];
            command(text);
            int32_t limit = static_cast<int32_t>(random() % 3);
            config +=
                (limit == 0 ? std::string("5") : "5/" + std::to_string(limit)) + "," + text + "\n";
        }
        ParseJobVersion(config.data(), config.size(), version.get());
        DecideReload(inForce, *version, plan.get());
        ASSERT_EQ(plan->verdict, ReloadVerdict::kApply);
        std::vector<int> rowTaken(kMaxJobs, 0);
        std::vector<int> rowRetired(kMaxJobs, 0);
        std::vector<int> jobSeen(version->count, 0);
        for (int32_t c = 0; c < plan->changeCount; ++c) {
            const ReloadChange& change = plan->changes[c];
            const JobInForce& row = inForce[change.row];
            if (change.action == ReloadAction::kRetired) {
                ++rowRetired[change.row];
                ASSERT_FALSE(row.retired) << step;
                continue;
            }
            ++rowTaken[change.row];
            ++jobSeen[change.newJob];
            // The interval field alone tells unchanged from an interval change.
            bool sameField = row.limit == version->jobs[change.newJob].limit;
            if (change.action == ReloadAction::kUnchanged ||
                change.action == ReloadAction::kInterval) {
                ASSERT_EQ(sameField, change.action == ReloadAction::kUnchanged) << step;
            }
            // A run going on is never handed to a job that isn't it.
            if (change.action == ReloadAction::kAdded && row.inUse && row.running) {
                ASSERT_TRUE(row.retired) << step;
                char a[kTextSize];
                char b[kTextSize];
                std::snprintf(a, kTextSize, "%s", row.command);
                std::snprintf(b, kTextSize, "%s", version->jobs[change.newJob].command);
                for (char* p = a; *p != '\0' && *p != ' '; ++p)
                    *p = static_cast<char>(std::tolower(*p));
                for (char* p = b; *p != '\0' && *p != ' '; ++p)
                    *p = static_cast<char>(std::tolower(*p));
                ASSERT_STREQ(a, b) << step;
            }
        }
        for (int32_t i = 0; i < kMaxJobs; ++i) {
            ASSERT_LE(rowTaken[i], 1) << step;
            ASSERT_LE(rowRetired[i], 1) << step;
            if (inForce[i].inUse && !inForce[i].retired) {
                ASSERT_EQ(rowTaken[i] + rowRetired[i] - (rowRetired[i] && rowTaken[i] ? 1 : 0), 1)
                    << "row lost " << step;
            }
            // A row retired while its run goes on is never taken by a new job.
            if (rowRetired[i] == 1 && rowTaken[i] == 1) {
                ASSERT_FALSE(inForce[i].running) << step;
            }
        }
        for (int32_t j = 0; j < version->count; ++j)
            ASSERT_EQ(jobSeen[j], 1) << "job lost " << step;
        // A job that starts at once never makes more runs of its command go
        // on than the version has lines of it.
        for (int32_t j = 0; j < version->count; ++j) {
            const char* line = version->jobs[j].command;
            int32_t lines = 0;
            int32_t started = 0;
            int32_t going = 0;
            for (int32_t k = 0; k < version->count; ++k)
                lines += SameCommand(line, version->jobs[k].command);
            for (int32_t c = 0; c < plan->changeCount; ++c) {
                const ReloadChange& added = plan->changes[c];
                if (added.action != ReloadAction::kAdded || inForce[added.row].inUse) continue;
                started += SameCommand(line, version->jobs[added.newJob].command);
            }
            for (int32_t i = 0; i < rows; ++i) {
                const JobInForce& row = inForce[i];
                going += row.inUse && row.runs != nullptr && SameCommand(line, row.runs);
            }
            ASSERT_TRUE(started == 0 || going + started <= lines)
                << step << ": " << started << " runs of " << line << " started beside " << going
                << ", for " << lines << " lines";
        }
        // A run left going on beside a new line of its program that shares
        // a word with it: that line is this job, and would run twice.
        for (int32_t c = 0; c < plan->changeCount; ++c) {
            const ReloadChange& added = plan->changes[c];
            if (added.action != ReloadAction::kAdded || inForce[added.row].inUse) continue;
            const std::string line = version->jobs[added.newJob].command;
            for (int32_t i = 0; i < rows; ++i) {
                const JobInForce& row = inForce[i];
                bool leftGoing = row.inUse && row.running && rowTaken[i] == 0;
                if (!leftGoing) continue;
                ASSERT_FALSE(SameProgramWithAWordInCommon(row.command, line))
                    << step << ": " << row.command << " beside " << line;
            }
        }
    }
}

}  // namespace
