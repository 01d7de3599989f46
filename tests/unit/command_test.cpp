#include "jobs/config/command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jobs/engine/job_table.h"

namespace {

struct SplitCase {
    const char* command;
    const char* program;
    const char* commandLine;
};

class SplitCommandTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandTest, SplitsAtTheFirstSpaceNoBackslashFollows) {
    const SplitCase& c = GetParam();
    char program[kTextSize];
    char commandLine[kTextSize];
    std::memset(program, 'x', sizeof program);
    std::memset(commandLine, 'x', sizeof commandLine);
    EXPECT_EQ(SplitCommand(c.command, program, commandLine), 0);
    EXPECT_STREQ(program, c.program);
    EXPECT_STREQ(commandLine, c.commandLine);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitCommandTest,
    testing::Values(
        SplitCase{"C:\\tools\\job.exe", "C:\\tools\\job.exe", "job.exe"},
        SplitCase{"C:\\tools\\job.exe one two", "C:\\tools\\job.exe", "job.exe one two"},
        SplitCase{"C:\\Program Files\\Job Tools\\job.exe -x  -y",
                  "C:\\Program Files\\Job Tools\\job.exe", "job.exe -x -y"},
        SplitCase{"C:\\My Tools\\job.exe", "C:\\My Tools\\job.exe", "job.exe"},
        SplitCase{"C:\\tools\\job.exe  a   b", "C:\\tools\\job.exe", "job.exe a b"},
        SplitCase{"C:\\tools\\job.exe a b ", "C:\\tools\\job.exe", "job.exe a b "},
        SplitCase{"C:\\tools\\job.exe ", "C:\\tools\\job.exe", "job.exe "},
        SplitCase{"C:\\tools\\job.exe    ", "C:\\tools\\job.exe", "job.exe "},
        SplitCase{"job.exe a", "job.exe", "job.exe a"},
        SplitCase{"\\\\server\\share\\job.exe x", "\\\\server\\share\\job.exe", "job.exe x"},
        SplitCase{"C:\\tools\\job.exe C:\\data\\in.txt", "C:\\tools\\job.exe C:\\data\\in.txt",
                  "in.txt"},
        SplitCase{"C:\\tools\\job.exe a\\b c", "C:\\tools\\job.exe a\\b", "b c"},
        SplitCase{"C:\\tools\\job.exe -o C:\\out x", "C:\\tools\\job.exe -o C:\\out", "out x"},
        SplitCase{"C:\\tools\\job.exe \"quoted arg\"\tx", "C:\\tools\\job.exe",
                  "job.exe \"quoted arg\"\tx"},
        SplitCase{"", "", ""}));

TEST(SplitCommandTest, LongestCommandFitsBothBuffers) {
    std::string command = "C:\\" + std::string(240, 'p') + ".exe" + std::string(7, ' ') + "a";
    ASSERT_EQ(command.size(), kTextSize - 1);
    char program[kTextSize];
    char commandLine[kTextSize];
    SplitCommand(command.c_str(), program, commandLine);
    EXPECT_EQ(std::string(program), command.substr(0, 247));
    EXPECT_EQ(std::string(commandLine), std::string(240, 'p') + ".exe a");
}

}  // namespace
