#include "platform/system32_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using system32_path::Route;

TEST(System32Route, ChosenByWow64AndSysnative) {
    struct Case { bool wow64; bool sysnative; Route expected; };
    const Case cases[] = {
        {false, false, Route::AsWritten},
        {false, true, Route::AsWritten},
        {true, true, Route::ThroughSysnative},
        {true, false, Route::RedirectionOff},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(system32_path::ChooseRoute(c.wow64, c.sysnative), c.expected) << c.wow64 << c.sysnative;
    }
}

TEST(System32Rewrite, TableOfPaths) {
    struct Case { const char* program; const char* windowsDir; const char* expected; };
    const Case cases[] = {
        {"C:\\Windows\\System32\\cmd.exe", "C:\\Windows", "C:\\Windows\\Sysnative\\cmd.exe"},
        {"c:/windows/system32/tool.exe", "C:\\Windows", "c:/windows\\Sysnative\\tool.exe"},
        {"C:\\WINDOWS\\SYSTEM32\\sub\\x.exe", "C:\\Windows\\", "C:\\WINDOWS\\Sysnative\\sub\\x.exe"},
        {"C:\\Windows\\SysWOW64\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Windows\\System32x\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Windows\\System32", "C:\\Windows", nullptr},
        {"D:\\Windows\\System32\\cmd.exe", "C:\\Windows", nullptr},
        {"cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Win\\System32\\cmd.exe", "C:\\Windows", nullptr},
    };
    for (const Case& c : cases) {
        char out[260];
        bool rewritten = system32_path::RewriteToSysnative(c.program, c.windowsDir, out, sizeof out);
        EXPECT_EQ(rewritten, c.expected != nullptr) << c.program;
        EXPECT_EQ(system32_path::IsUnderSystem32(c.program, c.windowsDir), c.expected != nullptr) << c.program;
        if (rewritten && c.expected) {
            EXPECT_EQ(std::string(out), c.expected);
        }
    }
}

TEST(System32Rewrite, RefusesWhatDoesNotFit) {
    char out[20];
    EXPECT_FALSE(system32_path::RewriteToSysnative("C:\\Windows\\System32\\cmd.exe", "C:\\Windows", out, sizeof out));
}

}  // namespace
