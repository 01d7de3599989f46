#include "jobs/warnings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    Texts boxes;        // shown, waiting for OK
    Texts events;       // of event ID 2
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
        FormatWarningCase{"SeenForegroundOneBoxPerLine", WarningRole::kForeground, true,
                          {2, 5, 9}, 3, Texts(3, kFormatError), {}, {}, ""},
        FormatWarningCase{"ServiceTwoHundredLines", WarningRole::kService, true, FirstLines(20),
                          200, {},
                          {std::string(kFormatError) + " (count 200; lines " + kTwentyListed +
                           ", ...)"},
                          {std::string(kFormatError) + " (count 200; lines " + kTwentyListed +
                           ", ...)"},
                          ""},
        FormatWarningCase{"ServiceTwentyLinesAllListed", WarningRole::kService, true,
                          FirstLines(20), 20, {},
                          {std::string(kFormatError) + " (count 20; lines " + kTwentyListed + ")"},
                          {std::string(kFormatError) + " (count 20; lines " + kTwentyListed + ")"},
                          ""},
        FormatWarningCase{"ForegroundNobodySees", WarningRole::kForeground, false, {3, 7}, 2, {},
                          {std::string(kFormatError) + " (count 2; lines 3, 7)"}, {},
                          std::string("Cycle_launch: ") + kFormatError + " (count 2; lines 3, 7)\n"},
        FormatWarningCase{"NoErrorsNoReport", WarningRole::kService, true, {}, 0, {}, {}, {}, ""}),
    [](const testing::TestParamInfo<FormatWarningCase>& info) { return info.param.name; });

}  // namespace
