#include "jobs/config.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/program_folder.h"

namespace {

// --- Lines -------------------------------------------------------------

struct TrimCase {
    const char* line;
    const char* trimmed;
};

class TrimLineEndTest : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimLineEndTest, RemovesTheWholeLineEnd) {
    char line[kTextSize];
    std::snprintf(line, sizeof line, "%s", GetParam().line);
    TrimLineEnd(line);
    EXPECT_STREQ(line, GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(Table, TrimLineEndTest,
                         testing::Values(TrimCase{"10,a.exe\n", "10,a.exe"},
                                         TrimCase{"10,a.exe\r\n", "10,a.exe"},
                                         TrimCase{"10,a.exe\r\r\n\n", "10,a.exe"},
                                         TrimCase{",\n", ","},  // a lone comma
                                         TrimCase{"\n", ""},
                                         TrimCase{"\r\n", ""},
                                         TrimCase{"10,a\rb", "10,a\rb"},
                                         TrimCase{"", ""}));

struct ParseCase {
    const char* line;
    int result;
    const char* intervalText;
    const char* command;
};

class ParseConfigLineTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseConfigLineTest, SplitsAtTheFirstComma) {
    const ParseCase& c = GetParam();
    char intervalText[kTextSize] = "untouched";
    char command[kTextSize] = "untouched";
    EXPECT_EQ(ParseConfigLine(c.line, intervalText, command), c.result);
    EXPECT_STREQ(intervalText, c.intervalText);
    EXPECT_STREQ(command, c.command);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseConfigLineTest,
    testing::Values(ParseCase{"10,C:\\a.exe", 0, "10", "C:\\a.exe"},
                    ParseCase{" 1 0 ,  C:\\a.exe x ", 0, "10", "C:\\a.exe x "},
                    ParseCase{"5,C:\\a.exe x,y", 0, "5", "C:\\a.exe x,y"},
                    ParseCase{",C:\\a.exe", 0, "", "C:\\a.exe"},
                    ParseCase{"7,", 0, "7", ""},
                    ParseCase{"7,   ", 0, "7", ""},
                    ParseCase{"\t5,\tcmd", 0, "\t5", "\tcmd"},
                    ParseCase{"no comma here", 1, "untouched", "untouched"},
                    ParseCase{"", 1, "untouched", "untouched"}));

struct IntervalCase {
    const char* text;
    int32_t interval;
};

class ParseIntervalTest : public testing::TestWithParam<IntervalCase> {};

TEST_P(ParseIntervalTest, ReadsLikeAtoiButSaturates) {
    EXPECT_EQ(ParseInterval(GetParam().text), GetParam().interval);
}

INSTANTIATE_TEST_SUITE_P(Table, ParseIntervalTest,
                         testing::Values(IntervalCase{"10", 10},
                                         IntervalCase{"", 0},
                                         IntervalCase{"5x", 5},
                                         IntervalCase{"-3", -3},
                                         IntervalCase{"+4", 4},
                                         IntervalCase{"\t\v6", 6},
                                         IntervalCase{"x5", 0},
                                         IntervalCase{"+-5", 0},
                                         IntervalCase{"--5", 0},
                                         IntervalCase{"2147483647", INT32_MAX},
                                         IntervalCase{"-2147483648", INT32_MIN},
                                         // These would wrap to small numbers.
                                         IntervalCase{"2147483648", INT32_MAX},
                                         IntervalCase{"4294967297", INT32_MAX},
                                         IntervalCase{"-4294967297", INT32_MIN},
                                         IntervalCase{"99999999999999999999999", INT32_MAX}));

// --- The file ----------------------------------------------------------

class LoaderTest : public ProgramFolderTest {
protected:
    int32_t Load() {
        fake::Reset(options_);
        return LoadJobTable(&table_);
    }

    JobTable table_;
};

TEST_F(LoaderTest, ReadsEveryLineIntoARowAndMakesTheProgramDirectoryCurrent) {
    WriteConfig("10,C:\\a.exe\r\n-3,C:\\b.exe x\n0,C:\\c.exe");
    ASSERT_EQ(Load(), 3);
    EXPECT_EQ(table_.rows[0].interval, 10);
    EXPECT_STREQ(JobCommand[0], "C:\\a.exe");
    EXPECT_EQ(table_.rows[1].interval, -3);
    EXPECT_STREQ(JobCommand[1], "C:\\b.exe x");
    EXPECT_STREQ(JobCommand[2], "C:\\c.exe");
    EXPECT_EQ(fake::ChangedDirectories(), std::vector<std::string>{"C:\\jobs\\"});
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(LoaderTest, StopsAtTheJobLimit) {
    std::string lines;
    for (int i = 0; i < 1030; ++i) lines += std::to_string(i) + ",C:\\job.exe\n";
    WriteConfig(lines);
    ASSERT_EQ(Load(), kMaxJobs);
    EXPECT_EQ(table_.rows[kMaxJobs - 1].interval, kMaxJobs - 1);
}

TEST_F(LoaderTest, EmptyFileLoadsNothingQuietly) {
    WriteConfig("");
    EXPECT_EQ(Load(), 0);
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(LoaderTest, CtrlZEndsTheText) {
    WriteConfig("1,C:\\a.exe\r\n2,C:\\b.exe\x1A\r\n3,C:\\c.exe\r\n");
    ASSERT_EQ(Load(), 2);
    EXPECT_STREQ(JobCommand[1], "C:\\b.exe");
}

TEST_F(LoaderTest, ALoneCarriageReturnIsNoLineEnd) {
    WriteConfig("1,C:\\a.exe\r2,C:\\b.exe\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_STREQ(JobCommand[0], "C:\\a.exe\r2,C:\\b.exe");
}

TEST_F(LoaderTest, MalformedLinesWarnOnceEachAndYieldNoRow) {
    WriteConfig("no comma\n5,C:\\a.exe\n\n6,C:\\b.exe\n\n");
    ASSERT_EQ(Load(), 2);
    EXPECT_STREQ(JobCommand[0], "C:\\a.exe");
    EXPECT_STREQ(JobCommand[1], "C:\\b.exe");
    EXPECT_EQ(fake::Warnings(), std::vector<std::string>(
                                    3, "Config File (cycle_launch.txt) Format Error"));
}

TEST_F(LoaderTest, OnlyMalformedLinesLoadNothing) {
    WriteConfig("garbage\n\n");
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(fake::Warnings().size(), 2u);
}

TEST_F(LoaderTest, ALoneCommaGivesAnEmptyCommand) {
    WriteConfig(",\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(table_.rows[0].interval, 0);
    EXPECT_STREQ(JobCommand[0], "");
}

TEST_F(LoaderTest, ALongLineIsReadAsSeveralLines) {
    // 255 characters fill one read; the rest is a line of its own.
    std::string first = "1,C:\\" + std::string(250, 'a');
    WriteConfig(first + "2,C:\\b.exe\n3,C:\\c.exe\n");
    ASSERT_EQ(Load(), 3);
    EXPECT_EQ(std::string(JobCommand[0]), first.substr(2));
    EXPECT_EQ(table_.rows[1].interval, 2);
    EXPECT_STREQ(JobCommand[2], "C:\\c.exe");
}

TEST_F(LoaderTest, MissingFileWarns) {
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(fake::Warnings(),
              std::vector<std::string>{"Config File (cycle_launch.txt) not Found"});
}

TEST_F(LoaderTest, ACutExecutablePathCountsAsNoConfiguration) {
    WriteConfig("1,C:\\a.exe\n");
    options_.executablePathFits = false;
    EXPECT_EQ(Load(), 0);
    EXPECT_TRUE(fake::ChangedDirectories().empty());
    EXPECT_EQ(fake::Warnings(),
              std::vector<std::string>{"Config File (cycle_launch.txt) not Found"});
}

}  // namespace
