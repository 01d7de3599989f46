// How a child is created: the flags and handles it gets, and the way a
// 32-bit runner on 64-bit Windows reaches the System32 a job names.
#include <gtest/gtest.h>

#include <string>

#include "platform/child_start_plan.h"
#include "platform/system32_path.h"

namespace {

using system32_path::Route;

TEST(ChildStartPlan, FlagsAndHandlesByWhatThePlatformHas) {
    struct Case {
        bool suspended, nulOpen, handleList;
        uint32_t flags;
        bool nulHandles, inherit, list;
    };
    constexpr uint32_t kNoWindow = 0x08000000, kDetached = 0x8, kSuspended = 0x4,
                       kExtended = 0x00080000;
    const Case cases[] = {
        // Vista and later: a hidden console, NUL for its handles, nothing else inherited.
        {false, true, true, kNoWindow | kExtended, true, true, true},
        {true, true, true, kNoWindow | kExtended | kSuspended, true, true, true},
        // Before Vista: NUL inherited with whatever else is inheritable, which is nothing.
        {false, true, false, kNoWindow, true, true, false},
        {true, true, false, kNoWindow | kSuspended, true, true, false},
        // No NUL device: detached, so that nothing can wait for input.
        {false, false, true, kNoWindow | kDetached, false, false, false},
        {true, false, false, kNoWindow | kDetached | kSuspended, false, false, false},
    };
    for (const Case& c : cases) {
        ChildStartPlan plan = PlanChildStart(c.suspended, c.nulOpen, c.handleList);
        SCOPED_TRACE(testing::Message() << "suspended " << c.suspended << ", NUL " << c.nulOpen
                                        << ", list " << c.handleList);
        EXPECT_EQ(plan.creationFlags, c.flags);
        EXPECT_EQ(plan.standardHandlesNul, c.nulHandles);
        EXPECT_EQ(plan.inheritHandles, c.inherit);
        EXPECT_EQ(plan.handleList, c.list);
    }
}

TEST(ChildJobs, DecidedByTheWindowsVersionAndTheRunnersJob) {
    struct Case {
        const char* name;
        bool nested, inJob, breakawayAllowed, silent;
        bool breakaway, own;
    };
    const Case cases[] = {
        {"not in a job", false, false, false, false, false, true},
        {"Windows 8 and later nest jobs", true, true, false, false, false, true},
        // Breaking away there would take the child out of the outer job's stop.
        {"Windows 8 and later never break away", true, true, true, false, false, true},
        {"before 8, allowed: break away", false, true, true, false, true, true},
        // Asked where not allowed, the creation would fail with access denied.
        {"before 8, not allowed: no job of its own", false, true, false, false, false, false},
        {"before 8, children leave silently", false, true, false, true, false, true},
        {"before 8, both allowed: silently", false, true, true, true, false, true},
    };
    for (const Case& c : cases) {
        ChildJobs jobs = DecideChildJobs(c.nested, c.inJob, c.breakawayAllowed, c.silent);
        EXPECT_EQ(jobs.breakaway, c.breakaway) << c.name;
        EXPECT_EQ(jobs.own, c.own) << c.name;
    }
}

TEST(System32Route, ChosenByWow64AndSysnative) {
    struct Case {
        bool wow64;
        bool sysnative;
        Route expected;
    };
    const Case cases[] = {
        {false, false, Route::kAsWritten},
        {false, true, Route::kAsWritten},
        {true, true, Route::kThroughSysnative},
        {true, false, Route::kRedirectionOff},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(system32_path::ChooseRoute(c.wow64, c.sysnative), c.expected)
            << c.wow64 << c.sysnative;
    }
}

TEST(System32Rewrite, TableOfPaths) {
    struct Case {
        const char* program;
        const char* windowsDir;
        const char* expected;
    };
    const Case cases[] = {
        {"C:\\Windows\\System32\\cmd.exe", "C:\\Windows", "C:\\Windows\\Sysnative\\cmd.exe"},
        {"c:/windows/system32/tool.exe", "C:\\Windows", "c:/windows\\Sysnative\\tool.exe"},
        {"C:\\WINDOWS\\SYSTEM32\\sub\\x.exe", "C:\\Windows\\",
         "C:\\WINDOWS\\Sysnative\\sub\\x.exe"},
        {"C:\\Windows\\SysWOW64\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Windows\\Sysnative\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Windows\\System32x\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Windows\\System32", "C:\\Windows", nullptr},
        {"D:\\Windows\\System32\\cmd.exe", "C:\\Windows", nullptr},
        {"cmd.exe", "C:\\Windows", nullptr},
        {"System32\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Win\\System32\\cmd.exe", "C:\\Windows", nullptr},
        {"C:\\Windows\\System32\\cmd.exe", "", nullptr},
    };
    for (const Case& c : cases) {
        char out[260];
        bool rewritten =
            system32_path::RewriteToSysnative(c.program, c.windowsDir, out, sizeof out);
        EXPECT_EQ(rewritten, c.expected != nullptr) << c.program;
        EXPECT_EQ(system32_path::IsUnderSystem32(c.program, c.windowsDir), c.expected != nullptr)
            << c.program;
        if (rewritten && c.expected) {
            EXPECT_EQ(std::string(out), c.expected);
        }
    }
}

TEST(System32Rewrite, RefusesWhatDoesNotFit) {
    const char program[] = "C:\\Windows\\System32\\cmd.exe";  // 27 characters; Sysnative adds 1
    char out[sizeof program + 1];
    EXPECT_FALSE(system32_path::RewriteToSysnative(program, "C:\\Windows", out, sizeof out - 1));
    EXPECT_TRUE(system32_path::RewriteToSysnative(program, "C:\\Windows", out, sizeof out));
}

TEST(System32Missing, OnlyAProgramNotFoundUnderSystem32OfARedirectedRunner) {
    struct Case {
        Route route;
        const char* program;
        uint32_t error;
        bool missing;
    };
    const char* const kSystem32Program = "C:\\Windows\\system32\\OpenSSH\\ssh.exe";
    const Case cases[] = {
        {Route::kThroughSysnative, kSystem32Program, 2, true},
        {Route::kRedirectionOff, kSystem32Program, 2, true},
        {Route::kAsWritten, kSystem32Program, 2, false},         // nothing changed for it
        {Route::kThroughSysnative, kSystem32Program, 3, false},  // another error
        {Route::kThroughSysnative, kSystem32Program, 5, false},
        {Route::kThroughSysnative, "C:\\Windows\\SysWOW64\\ssh.exe", 2, false},
        {Route::kThroughSysnative, "C:\\tools\\ssh.exe", 2, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            system32_path::IsMissingFromRealSystem32(c.route, c.program, "C:\\Windows", c.error),
            c.missing)
            << static_cast<int>(c.route) << " " << c.program << " " << c.error;
    }
}

}  // namespace
