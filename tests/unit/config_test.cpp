#include "jobs/config/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <string>

#include "jobs/config/config_file.h"
#include "jobs/report/warnings.h"
#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/config_bytes.h"
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
                                         TrimCase{"\n", ""}, TrimCase{"\r\n", ""},
                                         TrimCase{"10,a\rb", "10,a\rb"}, TrimCase{"", ""}));

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

INSTANTIATE_TEST_SUITE_P(Table, ParseConfigLineTest,
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

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIntervalTest,
    testing::Values(IntervalCase{"10", 10}, IntervalCase{"", 0}, IntervalCase{"5x", 5},
                    IntervalCase{"-3", -3}, IntervalCase{"+4", 4}, IntervalCase{"\t\v6", 6},
                    IntervalCase{"x5", 0}, IntervalCase{"+-5", 0}, IntervalCase{"--5", 0},
                    IntervalCase{"2147483647", INT32_MAX}, IntervalCase{"-2147483648", INT32_MIN},
                    // These would wrap to small numbers.
                    IntervalCase{"2147483648", INT32_MAX}, IntervalCase{"4294967297", INT32_MAX},
                    IntervalCase{"-4294967297", INT32_MIN},
                    IntervalCase{"99999999999999999999999", INT32_MAX}));

// A run's limit after a slash; an older runner's interval ends at the
// slash too. A malformed limit writes nothing.
struct IntervalFieldCase {
    const char* text;
    bool parsed;
    int32_t interval;
    int32_t limit;
};

void PrintTo(const IntervalFieldCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class ParseIntervalFieldTest : public testing::TestWithParam<IntervalFieldCase> {};

TEST_P(ParseIntervalFieldTest, ReadsTheIntervalAsBeforeAndTheLimitAsDigitsAlone) {
    const IntervalFieldCase& c = GetParam();
    constexpr int32_t kUntouched = 77;
    int32_t interval = kUntouched;
    int32_t limit = kUntouched;
    EXPECT_EQ(ParseIntervalField(c.text, &interval, &limit), c.parsed);
    EXPECT_EQ(interval, c.parsed ? c.interval : kUntouched);
    EXPECT_EQ(limit, c.parsed ? c.limit : kUntouched);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIntervalFieldTest,
    testing::Values(
        IntervalFieldCase{"60/10", true, 60, 10}, IntervalFieldCase{" 6 0 / 1 0 ", true, 60, 10},
        IntervalFieldCase{"5x/10", true, 5, 10}, IntervalFieldCase{"x/10", true, 0, 10},
        IntervalFieldCase{"/10", true, 0, 10}, IntervalFieldCase{"-1/30", true, -1, 30},
        IntervalFieldCase{"0/30", true, 0, 30}, IntervalFieldCase{"\t60/5", true, 60, 5},
        IntervalFieldCase{"60/2147483647", true, 60, INT32_MAX},
        IntervalFieldCase{"60/0002147483647", true, 60, INT32_MAX},
        IntervalFieldCase{"3600/600", true, 3600, 600},
        // Without a slash, as before.
        IntervalFieldCase{"60", true, 60, 0}, IntervalFieldCase{"5x", true, 5, 0},
        IntervalFieldCase{"", true, 0, 0}, IntervalFieldCase{"2147483648", true, INT32_MAX, 0},
        // Malformed limits.
        IntervalFieldCase{"60/", false, 0, 0}, IntervalFieldCase{"/", false, 0, 0},
        IntervalFieldCase{"60/x", false, 0, 0}, IntervalFieldCase{"60/10x", false, 0, 0},
        IntervalFieldCase{"60/+10", false, 0, 0}, IntervalFieldCase{"60/-5", false, 0, 0},
        IntervalFieldCase{"60/\t10", false, 0, 0}, IntervalFieldCase{"60/0", false, 0, 0},
        IntervalFieldCase{"60/000", false, 0, 0}, IntervalFieldCase{"60/10/5", false, 0, 0},
        IntervalFieldCase{"60/2147483648", false, 0, 0},
        IntervalFieldCase{"60/4294967306", false, 0, 0},
        IntervalFieldCase{"60/99999999999999999999999", false, 0, 0}));

TEST(FormatIntervalFieldTest, WritesTheFieldAsItIsRead) {
    const IntervalFieldCase cases[] = {
        {"60", true, 60, 0}, {"-1/30", true, -1, 30}, {"0/2147483647", true, 0, INT32_MAX}};
    for (const auto& c : cases) {
        char text[32];
        FormatIntervalField(c.interval, c.limit, text, sizeof text);
        EXPECT_STREQ(text, c.text);
        int32_t interval = 0;
        int32_t limit = 0;
        ASSERT_TRUE(ParseIntervalField(text, &interval, &limit));
        EXPECT_EQ(interval, c.interval);
        EXPECT_EQ(limit, c.limit);
    }
}

// --- The file ----------------------------------------------------------

class LoaderTest : public ProgramFolderTest {
protected:
    int32_t Load() {
        fake::Reset(options_);
        return LoadJobTable(&table_, &jobs_);
    }

    ConfigLoad table_;
    JobVersion jobs_;
};

TEST_F(LoaderTest, ReadsEveryLineIntoARowAndMakesTheProgramDirectoryCurrent) {
    WriteConfig("10,C:\\a.exe\r\n-3,C:\\b.exe x\n0,C:\\c.exe");
    ASSERT_EQ(Load(), 3);
    EXPECT_EQ(jobs_.jobs[0].interval, 10);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe");
    EXPECT_EQ(jobs_.jobs[1].interval, -3);
    EXPECT_STREQ(jobs_.jobs[1].command, "C:\\b.exe x");
    EXPECT_STREQ(jobs_.jobs[2].command, "C:\\c.exe");
    EXPECT_EQ(fake::ChangedDirectories(), std::vector<std::string>{"C:\\jobs\\"});
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(LoaderTest, StopsAtTheJobLimit) {
    std::string lines;
    for (int i = 0; i < 1030; ++i) lines += std::to_string(i) + ",C:\\job.exe\n";
    // Past the line that fills the table nothing is read, a malformed line
    // neither.
    WriteConfig(lines + "no comma\n");
    ASSERT_EQ(Load(), kMaxJobs);
    EXPECT_EQ(jobs_.jobs[kMaxJobs - 1].interval, kMaxJobs - 1);
    EXPECT_EQ(table_.formatErrors.count, 0);
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(LoaderTest, EmptyFileLoadsNothingQuietly) {
    WriteConfig("");
    EXPECT_EQ(Load(), 0);
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(LoaderTest, CtrlZEndsTheText) {
    WriteConfig("1,C:\\a.exe\r\n2,C:\\b.exe\x1A\r\n3,C:\\c.exe\r\n");
    ASSERT_EQ(Load(), 2);
    EXPECT_STREQ(jobs_.jobs[1].command, "C:\\b.exe");
}

TEST_F(LoaderTest, ALoneCarriageReturnIsNoLineEnd) {
    WriteConfig("1,C:\\a.exe\r2,C:\\b.exe\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe\r2,C:\\b.exe");
}

TEST_F(LoaderTest, MalformedLinesWarnOnceEachAndYieldNoRow) {
    WriteConfig("no comma\n5,C:\\a.exe\n\n6,C:\\b.exe\n\n");
    ASSERT_EQ(Load(), 2);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe");
    EXPECT_STREQ(jobs_.jobs[1].command, "C:\\b.exe");
    EXPECT_EQ(fake::Warnings(),
              std::vector<std::string>(3, "Config File (cycle_launch.txt) Format Error"));
}

// A malformed limit costs its own line alone, with the format warning.
TEST_F(LoaderTest, ALineWithAMalformedLimitWarnsAndYieldsNoRow) {
    WriteConfig(
        "3600/600,C:\\a.exe -q\n60/0,C:\\b.exe\n 5 / 1 0 ,C:\\c.exe\n60/x,C:\\d.exe\n"
        "-1,C:\\e.exe\n");
    ASSERT_EQ(Load(), 3);
    EXPECT_EQ(jobs_.jobs[0].interval, 3600);
    EXPECT_EQ(jobs_.jobs[0].limit, 600);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe -q");
    EXPECT_EQ(jobs_.jobs[1].interval, 5);
    EXPECT_EQ(jobs_.jobs[1].limit, 10);
    EXPECT_STREQ(jobs_.jobs[1].command, "C:\\c.exe");
    EXPECT_EQ(jobs_.jobs[2].interval, -1);
    EXPECT_EQ(jobs_.jobs[2].limit, 0);
    EXPECT_EQ((std::vector<int32_t>{jobs_.jobs[0].line, jobs_.jobs[1].line, jobs_.jobs[2].line}),
              (std::vector<int32_t>{1, 3, 5}));
    EXPECT_EQ(std::vector<int32_t>(table_.formatErrors.lines, table_.formatErrors.lines + 2),
              (std::vector<int32_t>{2, 4}));
    EXPECT_EQ(fake::Warnings(),
              std::vector<std::string>(2, "Config File (cycle_launch.txt) Format Error"));
}

TEST_F(LoaderTest, OnlyMalformedLinesLoadNothing) {
    WriteConfig("garbage\n\n");
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(fake::Warnings().size(), 2u);
}

TEST_F(LoaderTest, ALoneCommaGivesAnEmptyCommand) {
    WriteConfig(",\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(jobs_.jobs[0].interval, 0);
    EXPECT_STREQ(jobs_.jobs[0].command, "");
}

TEST_F(LoaderTest, ALongLineIsReadAsSeveralLines) {
    // 255 characters fill one read; the rest is a line of its own.
    std::string first = "1,C:\\" + std::string(250, 'a');
    WriteConfig(first + "2,C:\\b.exe\n3,C:\\c.exe\n");
    ASSERT_EQ(Load(), 3);
    EXPECT_EQ(std::string(jobs_.jobs[0].command), first.substr(2));
    EXPECT_EQ(jobs_.jobs[1].interval, 2);
    EXPECT_STREQ(jobs_.jobs[2].command, "C:\\c.exe");
}

// Editors number lines from 1 and end them at LF; the pieces of a long
// line share its number.
TEST_F(LoaderTest, JobsAndFormatErrorsKeepTheirLineNumbers) {
    WriteConfig("garbage\n1,C:\\a.exe\r\n\n2,C:\\" + std::string(300, 'b') +
                "\r\n3,C:\\c.exe\r4,x\n5,C:\\e.exe");
    ASSERT_EQ(Load(), 4);
    EXPECT_EQ((std::vector<int32_t>{jobs_.jobs[0].line, jobs_.jobs[1].line, jobs_.jobs[2].line,
                                    jobs_.jobs[3].line}),
              (std::vector<int32_t>{2, 4, 5, 6}));
    EXPECT_EQ(table_.formatErrors.count, 3);
    EXPECT_EQ(std::vector<int32_t>(table_.formatErrors.lines, table_.formatErrors.lines + 3),
              (std::vector<int32_t>{1, 3, 4}));
}

TEST_F(LoaderTest, FormatErrorsListTheFirstLinesAndCountThemAll) {
    std::string lines(30, '\n');
    WriteConfig(lines + "1,C:\\a.exe\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(jobs_.jobs[0].line, 31);
    EXPECT_EQ(table_.formatErrors.count, 30);
    std::vector<int32_t> first;
    for (int32_t line = 1; line <= kListedFormatErrors; ++line) first.push_back(line);
    EXPECT_EQ(std::vector<int32_t>(table_.formatErrors.lines,
                                   table_.formatErrors.lines + kListedFormatErrors),
              first);
}

// A file that is there but can't be read warns as a missing one, but keeps
// its cause; another program's hold on it is waited out for 2 s.
struct ReadErrorCase {
    const char* name;
    bool folder;            // a folder of the file's name instead of the file
    uint32_t readError;     // the platform refuses the file so
    int64_t lockedUntilMs;  // another program holds the file until then
    bool fileFound;
    uint32_t tableError;
    int64_t waitedMs;
};

void PrintTo(const ReadErrorCase& c, std::ostream* out) { *out << c.name; }

class ReadErrorTest : public LoaderTest, public testing::WithParamInterface<ReadErrorCase> {};

TEST_P(ReadErrorTest, WarnsAsNotFoundAndKeepsTheError) {
    const ReadErrorCase& c = GetParam();
    if (c.folder) {
        ASSERT_EQ(mkdir(ConfigPath().c_str(), 0700), 0);
    } else {
        WriteConfig("1,C:\\a.exe\n");
    }
    options_.readError = c.readError;
    options_.lockedUntilMs = c.lockedUntilMs;
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(table_.fileFound, c.fileFound);
    EXPECT_EQ(table_.readError, c.tableError);
    EXPECT_EQ(fake::Warnings(),
              std::vector<std::string>{"Config File (cycle_launch.txt) not Found"});
    EXPECT_EQ(fake::NowMs(), c.waitedMs);
}

constexpr int64_t kForever = INT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Table, ReadErrorTest,
    testing::Values(ReadErrorCase{"AccessDenied", false, 5, -1, true, 5, 0},
                    ReadErrorCase{"Folder", true, 0, -1, true, 5, 0},
                    ReadErrorCase{"PathNotFound", false, 3, -1, false, 0, 0},
                    ReadErrorCase{"HeldForEver", false, 0, kForever, true, 32, 2000}),
    [](const testing::TestParamInfo<ReadErrorCase>& info) { return info.param.name; });

TEST_F(LoaderTest, AFileHeldForAMomentIsReadOnceFree) {
    WriteConfig("1,C:\\a.exe\n");
    options_.lockedUntilMs = 1990;
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(table_.readError, 0u);
    EXPECT_EQ(fake::NowMs(), 2000);
    EXPECT_TRUE(fake::Warnings().empty());
}

TEST_F(LoaderTest, MissingFileWarns) {
    EXPECT_EQ(Load(), 0);
    EXPECT_FALSE(table_.fileFound);
    EXPECT_EQ(table_.readError, 0u);
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

// --- Where the file is looked for -------------------------------------------

TEST(ConfigPath, BesideTheExecutableWhateverItsName) {
    struct Case {
        const char* executable;
        size_t size;
        const char* expected;
    };
    const std::string folder255(254, 'a');  // with its backslash, the most a path holds
    const std::string deepExecutable = "C:" + folder255.substr(2) + "\\x.exe";
    const std::string deepConfig = "C:" + folder255.substr(2) + "\\cycle_launch.txt";
    const Case cases[] = {
        {"C:\\jobs\\cycle_launch.exe", kConfigPathSize, "C:\\jobs\\cycle_launch.txt"},
        {"C:\\a b\\c\\renamed.exe", kConfigPathSize, "C:\\a b\\c\\cycle_launch.txt"},
        {"\\\\server\\share\\cl.exe", kConfigPathSize, "\\\\server\\share\\cycle_launch.txt"},
        {deepExecutable.c_str(), kConfigPathSize, deepConfig.c_str()},
        {"cycle_launch.exe", kConfigPathSize, nullptr},  // no folder: never the current one
        {"C:\\jobs\\cycle_launch.exe", sizeof "C:\\jobs\\cycle_launch.txt",
         "C:\\jobs\\cycle_launch.txt"},
        {"C:\\jobs\\cycle_launch.exe", sizeof "C:\\jobs\\cycle_launch.txt" - 1, nullptr},
    };
    for (const Case& c : cases) {
        char path[kConfigPathSize + 1];
        bool composed = ComposeConfigPath(c.executable, path, c.size);
        EXPECT_EQ(composed, c.expected != nullptr) << c.executable << " in " << c.size;
        if (composed && c.expected != nullptr) {
            EXPECT_STREQ(path, c.expected);
        }
    }
}

// Where the folder can't be made current, the current one is another (a
// service starts in System32): the file is still the program folder's, and
// the failure is told once, never in a box.
TEST_F(LoaderTest, AFolderThatCantBeMadeCurrentStillReadsTheProgramsFile) {
    WriteConfig("1,C:\\a.exe\n");
    options_.changeDirectoryError = 5;
    SetWarningRole(WarningRole::kService);
    ASSERT_EQ(Load(), 1);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe");
    EXPECT_EQ(fake::ChangedDirectories(), std::vector<std::string>{"C:\\jobs\\"});
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_TRUE(fake::ConsoleMessages().empty());
    auto events = fake::Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<uint32_t>(WarningEvent::kFolderNotCurrent));
    EXPECT_EQ(events[0].text,
              "the program folder C:\\jobs\\ could not be made current: error 5 (Access is "
              "denied.); jobs whose program path names no folder run elsewhere");
}

TEST_F(LoaderTest, TheReloadReadsTheProgramsFileWhateverFolderIsCurrent) {
    WriteConfig("1,C:\\a.exe\n");
    fake::Reset(options_);  // nothing has made the program folder current
    const char* bytes = nullptr;
    size_t length = 0;
    uint32_t error = 0;
    ASSERT_TRUE(ReadConfigOnce(&bytes, &length, &error)) << error;
    EXPECT_EQ(std::string(bytes, length), "1,C:\\a.exe\n");
}

// --- Encodings ------------------------------------------------------------
//
// The fake platform's ANSI code page is Latin-1, so 'ë' (U+00EB) has an ANSI
// form, the byte 0xEB, and 'Ω' (U+03A9) has none.

constexpr char kFormatError[] = "Config File (cycle_launch.txt) Format Error";

struct EncodingCase {
    const char* name;
    std::string bytes;
    ConfigEncoding encoding;
};

class EncodingTest : public LoaderTest, public testing::WithParamInterface<EncodingCase> {};

// The same three jobs, as each tool of Windows saves them.
TEST_P(EncodingTest, EveryEncodingGivesTheSameJobTable) {
    WriteConfig(GetParam().bytes);
    ASSERT_EQ(Load(), 3);
    EXPECT_EQ(jobs_.jobs[0].interval, 5);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\T\xEBst\\job.exe -q");
    EXPECT_EQ(jobs_.jobs[1].interval, 0);
    EXPECT_STREQ(jobs_.jobs[1].command, "C:\\tools\\other.exe");
    EXPECT_EQ(jobs_.jobs[2].interval, -1);
    EXPECT_STREQ(jobs_.jobs[2].command, "C:\\T\xEBst\\b.exe x");
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_EQ(table_.encoding, GetParam().encoding);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncodingTest,
    testing::Values(
        // Bytes of the code page, not valid UTF-8 ("\xEB" alone): read as they are.
        EncodingCase{"Ansi",
                     "5,C:\\T\xEBst\\job.exe -q\r\n0,C:\\tools\\other.exe\r\n"
                     "-1,C:\\T\xEBst\\b.exe x\r\n",
                     ConfigEncoding::kAnsi},
        // PowerShell 5.1's -Encoding UTF8, older Notepad's "UTF-8".
        EncodingCase{"Utf8WithMark",
                     kUtf8Mark + "5,C:\\T\xC3\xABst\\job.exe -q\r\n"
                                 "0,C:\\tools\\other.exe\r\n"
                                 "-1,C:\\T\xC3\xABst\\b.exe x\r\n",
                     ConfigEncoding::kUtf8},
        // Notepad's default since Windows 10 1903.
        EncodingCase{"Utf8WithoutMark",
                     "5,C:\\T\xC3\xABst\\job.exe -q\n0,C:\\tools\\other.exe\n"
                     "-1,C:\\T\xC3\xABst\\b.exe x",
                     ConfigEncoding::kUtf8},
        // PowerShell 5.1's > and Out-File.
        EncodingCase{"Utf16WithMark",
                     Utf16(u"5,C:\\T\u00EBst\\job.exe -q\r\n"
                           u"0,C:\\tools\\other.exe\r\n"
                           u"-1,C:\\T\u00EBst\\b.exe x\r\n"),
                     ConfigEncoding::kUtf16}),
    [](const testing::TestParamInfo<EncodingCase>& info) { return info.param.name; });

TEST_F(LoaderTest, AMarkAloneOrBeforeCtrlZIsAnEmptyFile) {
    for (const std::string& bytes : {kUtf8Mark, Utf16(u""), kUtf8Mark + "\x1A" + "1,C:\\a.exe\n",
                                     Utf16(u"\x1A"
                                           u"1,C:\\a.exe\r\n")}) {
        WriteConfig(bytes);
        EXPECT_EQ(Load(), 0) << bytes.size() << " bytes";
        EXPECT_TRUE(fake::Warnings().empty());
    }
}

TEST_F(LoaderTest, CtrlZEndsUtf16TextToo) {
    WriteConfig(Utf16(u"1,C:\\a.exe\r\n2,C:\\b.exe\x1A\r\n3,C:\\c.exe\r\n"));
    ASSERT_EQ(Load(), 2);
    EXPECT_STREQ(jobs_.jobs[1].command, "C:\\b.exe");
}

TEST_F(LoaderTest, AHalfCharacterAtTheEndOfUtf16IsAMalformedLine) {
    WriteConfig(Utf16(u"1,C:\\a.exe\r\n2,C:\\b.exe") + "x");
    ASSERT_EQ(Load(), 1);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe");
    EXPECT_EQ(fake::Warnings(), std::vector<std::string>{kFormatError});
}

TEST_F(LoaderTest, AUtf16LineIsCutAfter255CharactersAsAnAnsiLineIs) {
    std::string line = "1,C:\\" + std::string(300, 'a') + "\r\n2,C:\\b.exe\r\n";
    WriteConfig(line);
    ASSERT_EQ(Load(), 2);
    std::string ansiFirst = jobs_.jobs[0].command;
    std::string ansiSecond = jobs_.jobs[1].command;
    auto ansiWarnings = fake::Warnings();

    WriteConfig(Utf16(std::u16string(line.begin(), line.end())));
    ASSERT_EQ(Load(), 2);
    EXPECT_EQ(jobs_.jobs[0].command, ansiFirst);
    EXPECT_EQ(ansiFirst.size(), 253u);
    EXPECT_EQ(jobs_.jobs[1].command, ansiSecond);
    EXPECT_EQ(fake::Warnings(), ansiWarnings);
}

// A program whose name lost a character would be another program, or none:
// such a line warns as malformed and runs nothing. The lines around it load.
TEST_F(LoaderTest, ALineWithACharacterWithoutAnsiFormWarnsAndYieldsNoRow) {
    const std::string cases[] = {
        // U+03A9, in UTF-8 with and without a mark, and in UTF-16.
        "1,C:\\a.exe\n2,C:\\\xCE\xA9\\b.exe\n3,C:\\c.exe\n",
        kUtf8Mark + "1,C:\\a.exe\n2,C:\\\xCE\xA9\\b.exe\n3,C:\\c.exe\n",
        Utf16(u"1,C:\\a.exe\r\n2,C:\\\u03A9\\b.exe\r\n3,C:\\c.exe\r\n"),
        // U+1F600, a surrogate pair in UTF-16 and four bytes in UTF-8.
        Utf16(u"1,C:\\a.exe\r\n2,C:\\b.exe \U0001F600\r\n3,C:\\c.exe\r\n"),
        "1,C:\\a.exe\n2,C:\\b.exe \xF0\x9F\x98\x80\n3,C:\\c.exe\n",
        // A lone surrogate, and bytes that are no UTF-8 in a file marked as such.
        Utf16(u"1,C:\\a.exe\r\n2,C:\\b.exe ") + std::string("\x00\xD8", 2) +
            Utf16(u"\r\n3,C:\\c.exe\r\n", false),
        kUtf8Mark + "1,C:\\a.exe\n2,C:\\b\xFF.exe\n3,C:\\c.exe\n",
    };
    for (const std::string& bytes : cases) {
        WriteConfig(bytes);
        ASSERT_EQ(Load(), 2) << testing::PrintToString(bytes);
        EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe");
        EXPECT_STREQ(jobs_.jobs[1].command, "C:\\c.exe");
        EXPECT_EQ(jobs_.jobs[1].interval, 3);
        EXPECT_EQ(fake::Warnings(), std::vector<std::string>{kFormatError});
    }
}

// The character after a lone CR that ends a piece belongs to the next piece:
// the first piece runs, the one that lost a character does not.
TEST_F(LoaderTest, ALostCharacterAfterALoneCrEndingAPieceCostsOnlyItsOwnPiece) {
    std::string first = "1,C:\\" + std::string(249, 'a');
    WriteConfig(first + "\r\xCE\xA9,C:\\b.exe\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(std::string(jobs_.jobs[0].command), first.substr(2));
    EXPECT_EQ(fake::Warnings(), std::vector<std::string>{kFormatError});
}

TEST_F(LoaderTest, AnAsciiFileStaysAnsiAndItsBytesAreKept) {
    // Valid UTF-8, but nothing beyond ASCII: nothing to convert.
    WriteConfig("1,C:\\a.exe x\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\a.exe x");
    // Not UTF-8 at all (0xC3 then no continuation): every byte as it is.
    WriteConfig("1,C:\\\xC3(\\a.exe\n");
    ASSERT_EQ(Load(), 1);
    EXPECT_STREQ(jobs_.jobs[0].command, "C:\\\xC3(\\a.exe");
    EXPECT_TRUE(fake::Warnings().empty());
}

}  // namespace
