#include "jobs/launcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr char kDefaultList[] = "C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem;";

std::string Compose(const std::string& startPath, const char* jobDirectory) {
    static char value[kMaxPathValue];
    ComposePathValue(startPath.c_str(), jobDirectory, value, sizeof value);
    return value;
}

TEST(ComposePathValueTest, AppendsTheJobDirectoryToThePathAtStart) {
    EXPECT_EQ(Compose("C:\\Windows", "C:\\tools\\"), "C:\\Windows;C:\\tools\\");
}

TEST(ComposePathValueTest, EmptyPathFallsBackToTheDefaultList) {
    EXPECT_EQ(Compose("", "C:\\tools\\"), std::string(kDefaultList) + "C:\\tools\\");
}

TEST(ComposePathValueTest, KeepsALongPathWholeUpToThePlatformLimit) {
    const char* directory = "C:\\tools\\";
    // The largest value that fits: 32,766 characters and the zero.
    std::string fits(kMaxPathValue - 1 - 1 - std::strlen(directory), 'p');
    EXPECT_EQ(Compose(fits, directory), fits + ";" + directory);

    std::string tooLong = fits + "p";
    EXPECT_EQ(Compose(tooLong, directory), std::string(kDefaultList) + directory);
}

}  // namespace
