// The verdict on who may change the runner's files, on the Windows cases as
// the system records them; and the runner's start and reload on the fake.
#include "jobs/start/permissions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/config/config.h"
#include "jobs/config/config_file.h"
#include "jobs/config/verdict.h"
#include "jobs/engine/scheduler.h"
#include "jobs/report/journal.h"
#include "jobs/report/warnings.h"
#include "jobs/start/runner_start.h"
#include "platform/link_target.h"
#include "tests/fake_platform/fake_platform.h"
#include "tests/unit/program_folder.h"

namespace {

SecurityId Sid(uint8_t authority, std::vector<uint32_t> subs) {
    SecurityId sid = {};
    sid.bytes[0] = 1;
    sid.bytes[1] = static_cast<uint8_t>(subs.size());
    sid.bytes[7] = authority;
    for (size_t i = 0; i < subs.size(); ++i) {
        for (int b = 0; b < 4; ++b)
            sid.bytes[8 + 4 * i + b] = static_cast<uint8_t>(subs[i] >> (8 * b));
    }
    sid.length = static_cast<uint32_t>(8 + 4 * subs.size());
    return sid;
}

const SecurityId kSystem = Sid(5, {18});
const SecurityId kAdministrators = Sid(5, {32, 544});
const SecurityId kUsers = Sid(5, {32, 545});
const SecurityId kAuthenticatedUsers = Sid(5, {11});
const SecurityId kCreatorOwner = Sid(3, {0});
const SecurityId kTrustedInstaller =
    Sid(5, {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u});
const SecurityId kOrdinaryUser = Sid(5, {21, 1, 2, 3, 1001});
const SecurityId kAdministratorsOwnAccount = Sid(5, {21, 1, 2, 3, 500});
const SecurityId kRunner = Sid(5, {21, 0, 0, 0, 1000});

constexpr uint8_t kAllow = 0, kDeny = 1, kCallback = 9;
constexpr uint8_t kObjectInherit = 0x1, kContainerInherit = 0x2, kInheritOnly = 0x8,
                  kInheritedFlag = 0x10;
constexpr uint8_t kFolderInherit = kObjectInherit | kContainerInherit;
constexpr uint32_t kFullControl = 0x1f01ff, kModify = 0x1301bf, kReadExecute = 0x1200a9;
constexpr uint32_t kGenericAll = 0x10000000, kGenericWrite = 0x40000000;

struct Fixture {
    const char* name;
    ObjectKind kind;
    SecurityId owner;
    bool nullDacl;
    std::vector<AccessEntry> entries;
    bool passes;
    std::vector<FindingKind> findings;
    uint32_t firstRights;  // of a kRights finding first, mapped and cut to what changes
};

ObjectSecurity SecurityOf(const Fixture& fixture) {
    ObjectSecurity security = {};
    security.owner = fixture.owner;
    security.nullDacl = fixture.nullDacl;
    security.links = 1;
    for (const AccessEntry& entry : fixture.entries)
        security.entries[security.entryCount++] = entry;
    return security;
}

const std::vector<Fixture>& Fixtures() {
    static const std::vector<Fixture> fixtures = {
        {"FolderUnderTheRootAsVistaLeavesIt",
         ObjectKind::kOwnFolder,
         kAdministrators,
         false,
         {{kAllow, kFolderInherit | kInheritedFlag, kFullControl, kAdministrators},
          {kAllow, kFolderInherit | kInheritedFlag, kFullControl, kSystem},
          {kAllow, kFolderInherit | kInheritedFlag, kReadExecute, kUsers},
          {kAllow, kInheritedFlag, kModify, kAuthenticatedUsers},
          {kAllow, kFolderInherit | kInheritOnly | kInheritedFlag, 0xe0010000,
           kAuthenticatedUsers}},
         false,
         {FindingKind::kRights},
         0x101b6 & ChangingRights(ObjectKind::kOwnFolder)},
        {"FolderUnderProgramFiles",
         ObjectKind::kOwnFolder,
         kTrustedInstaller,
         false,
         {{kAllow, kInheritedFlag, kFullControl, kTrustedInstaller},
          {kAllow, kContainerInherit | kInheritOnly | kInheritedFlag, kGenericAll,
           kTrustedInstaller},
          {kAllow, kInheritedFlag, kModify, kSystem},
          {kAllow, kFolderInherit | kInheritOnly | kInheritedFlag, kGenericAll, kSystem},
          {kAllow, kInheritedFlag, kModify, kAdministrators},
          {kAllow, kFolderInherit | kInheritOnly | kInheritedFlag, kGenericAll, kAdministrators},
          {kAllow, kInheritedFlag, kReadExecute, kUsers},
          {kAllow, kFolderInherit | kInheritOnly | kInheritedFlag, 0xa0000000, kUsers},
          {kAllow, kFolderInherit | kInheritOnly | kInheritedFlag, kGenericAll, kCreatorOwner}},
         true,
         {},
         0},
        {"FolderUnderProgramDataWhereUsersAddFiles",
         ObjectKind::kOwnFolder,
         kSystem,
         false,
         {{kAllow, kFolderInherit | kInheritedFlag, kFullControl, kSystem},
          {kAllow, kFolderInherit | kInheritedFlag, kFullControl, kAdministrators},
          {kAllow, kFolderInherit | kInheritOnly | kInheritedFlag, kGenericAll, kCreatorOwner},
          {kAllow, kFolderInherit | kInheritedFlag, kReadExecute, kUsers},
          {kAllow, kContainerInherit | kInheritedFlag, 0x116, kUsers}},
         false,
         {FindingKind::kRights},
         0x116},
        {"NullDacl",
         ObjectKind::kFile,
         kAdministrators,
         true,
         {},
         false,
         {FindingKind::kNullDacl},
         0},
        {"InheritOnlyEntryForUsers",
         ObjectKind::kOwnFolder,
         kAdministrators,
         false,
         {{kAllow, 0, kFullControl, kSystem},
          {kAllow, kFolderInherit | kInheritOnly, kGenericAll, kUsers}},
         true,
         {},
         0},
        {"GenericWriteAloneForUsers",
         ObjectKind::kFile,
         kAdministrators,
         false,
         {{kAllow, 0, kFullControl, kSystem}, {kAllow, 0, kGenericWrite, kUsers}},
         false,
         {FindingKind::kRights},
         0x116},
        {"UsersMayReadAndRun",
         ObjectKind::kFile,
         kAdministrators,
         false,
         {{kAllow, 0, kFullControl, kSystem}, {kAllow, 0, kReadExecute, kUsers}},
         true,
         {},
         0},
        {"DenyBesideAFailingAllow",
         ObjectKind::kFile,
         kAdministrators,
         false,
         {{kDeny, 0, kModify, kUsers}, {kAllow, 0, kModify, kUsers}},
         false,
         {FindingKind::kRights},
         0x101b6 & ChangingRights(ObjectKind::kFile)},
        {"OwnedByAnOrdinaryUser",
         ObjectKind::kFile,
         kOrdinaryUser,
         false,
         {{kAllow, 0, kFullControl, kSystem}},
         false,
         {FindingKind::kOwner},
         0},
        {"ExplorersContinueForTheAdministratorsOwnAccount",
         ObjectKind::kOwnFolder,
         kAdministrators,
         false,
         {{kAllow, kFolderInherit, kFullControl, kSystem},
          {kAllow, kFolderInherit, kFullControl, kAdministratorsOwnAccount}},
         false,
         {FindingKind::kRights},
         ChangingRights(ObjectKind::kOwnFolder)},
        {"DeleteChildForUsersOnTheFolderAbove",
         ObjectKind::kAncestorFolder,
         kAdministrators,
         false,
         {{kAllow, 0, kFullControl, kSystem}, {kAllow, 0, 0x40 | kReadExecute, kUsers}},
         false,
         {FindingKind::kRights},
         0x40},
        {"AppendForAuthenticatedUsersOnTheRoot",
         ObjectKind::kAncestorFolder,
         kAdministrators,
         false,
         {{kAllow, kFolderInherit, kFullControl, kSystem},
          {kAllow, 0, 0x4 | kReadExecute, kAuthenticatedUsers}},
         true,
         {},
         0},
        // Beyond the twelve: what the runner's own account and odd entries do.
        {"TheRunnersOwnAccountMayChangeIt",
         ObjectKind::kOwnFolder,
         kRunner,
         false,
         {{kAllow, 0, kFullControl, kRunner}},
         true,
         {},
         0},
        {"ACallbackEntryCantBeJudged",
         ObjectKind::kFile,
         kAdministrators,
         false,
         {{kCallback, 0, kReadExecute, kSystem}},
         false,
         {FindingKind::kUnknownEntry},
         0},
        {"ReadOnlyForEveryoneButTheOwnerAndOneWriter",
         ObjectKind::kFile,
         kOrdinaryUser,
         false,
         {{kAllow, 0, 0x10000, kUsers}},
         false,
         {FindingKind::kOwner, FindingKind::kRights},
         0x10000},
    };
    return fixtures;
}

class VerdictTest : public testing::TestWithParam<Fixture> {};

TEST_P(VerdictTest, JudgesAsWindowsWouldLetOthersChangeIt) {
    const Fixture& fixture = GetParam();
    ObjectVerdict verdict;
    JudgeObject(fixture.kind, SecurityOf(fixture), kRunner, &verdict);
    EXPECT_EQ(verdict.passed, fixture.passes);
    ASSERT_EQ(verdict.count, static_cast<int32_t>(fixture.findings.size()));
    for (int32_t i = 0; i < verdict.count; ++i) {
        EXPECT_EQ(verdict.findings[i].kind, fixture.findings[i]) << i;
        if (verdict.findings[i].kind == FindingKind::kRights) {
            EXPECT_EQ(verdict.findings[i].rights, fixture.firstRights);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, VerdictTest, testing::ValuesIn(Fixtures()),
                         [](const testing::TestParamInfo<Fixture>& info) {
                             return std::string(info.param.name);
                         });

// Links and unreadable descriptors: for the runner's own files and folder,
// never for the folders above. A second hard link of a file the runner
// only reads is no finding: its one access list guards every name.
TEST(VerdictTest, LinksFailTheRunnersOwnObjectsOnly) {
    ObjectSecurity security = {};
    security.owner = kSystem;
    security.links = 2;
    ObjectVerdict verdict;
    JudgeObject(ObjectKind::kFile, security, kRunner, &verdict);
    EXPECT_TRUE(verdict.passed);
    security.reparsePoint = true;
    JudgeObject(ObjectKind::kFile, security, kRunner, &verdict);
    ASSERT_EQ(verdict.count, 1);
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::kReparsePoint);
    JudgeObject(ObjectKind::kOwnFolder, security, kRunner, &verdict);
    ASSERT_EQ(verdict.count, 1);
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::kReparsePoint);
    JudgeObject(ObjectKind::kAncestorFolder, security, kRunner, &verdict);
    EXPECT_TRUE(verdict.passed);

    security.readError = 5;
    JudgeObject(ObjectKind::kAncestorFolder, security, kRunner, &verdict);
    ASSERT_EQ(verdict.count, 1);
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::kUnreadable);
    EXPECT_EQ(verdict.findings[0].detail, 5u);
    security.readError = kErrorSharingViolation;
    JudgeObject(ObjectKind::kFile, security, kRunner, &verdict);
    ASSERT_EQ(verdict.count, 1);
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::kHeldOpen);
}

TEST(VerdictTest, NamesSidsAndRightsAsAnAdministratorReadsThem) {
    char text[256];
    FormatSecurityId(kTrustedInstaller, text, sizeof text);
    EXPECT_STREQ(text, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    EXPECT_TRUE(IsAcceptedAccount(kTrustedInstaller, SecurityId{}));
    EXPECT_FALSE(IsAcceptedAccount(kRunner, SecurityId{}));
    DescribeRights(ObjectKind::kFile, 0x2 | 0x4 | 0x10000, text, sizeof text);
    EXPECT_STREQ(text, "write data, append, delete");
    DescribeRights(ObjectKind::kOwnFolder, 0x2 | 0x40 | 0x80000, text, sizeof text);
    EXPECT_STREQ(text, "add file, delete contents, take ownership");
    EXPECT_EQ(MapFileGenericRights(kGenericAll), 0x1f01ffu);
    EXPECT_EQ(MapFileGenericRights(0xa0000000), 0x1200a9u);
}

// Whatever the list: a deny or an inherit-only entry never changes the
// verdict, and one more allowed entry never makes a failing object pass.
TEST(VerdictTest, RandomListsKeepTheVerdictsRules) {
    std::mt19937 random(22);
    const SecurityId accounts[] = {
        kSystem,       kAdministrators,   kUsers,        kAuthenticatedUsers,
        kCreatorOwner, kTrustedInstaller, kOrdinaryUser, kRunner};
    auto randomEntry = [&](uint8_t type) {
        uint32_t mask = random() & 0x1f01ff;
        if (random() % 4 == 0) mask |= static_cast<uint32_t>(random() % 16) << 28;
        return AccessEntry{type, static_cast<uint8_t>(random() & 0x1f), mask,
                           accounts[random() % 8]};
    };
    const ObjectKind kinds[] = {ObjectKind::kFile, ObjectKind::kOwnFolder,
                                ObjectKind::kAncestorFolder};
    for (int round = 0; round < 20000; ++round) {
        ObjectSecurity security = {};
        security.owner = accounts[random() % 8];
        security.links = 1;
        int32_t count = static_cast<int32_t>(random() % 8);
        for (int32_t i = 0; i < count; ++i) {
            security.entries[security.entryCount++] =
                randomEntry(random() % 3 == 0 ? kDeny : kAllow);
        }
        ObjectKind kind = kinds[random() % 3];
        ObjectVerdict before;
        JudgeObject(kind, security, kRunner, &before);

        ObjectSecurity changed = security;
        AccessEntry added = randomEntry(random() % 2 == 0 ? kDeny : kAllow);
        bool neutral = added.type == kDeny || random() % 2 == 0;
        if (added.type == kAllow && neutral) added.flags |= kInheritOnly;
        // Anywhere in the list: order must not matter.
        int32_t at = static_cast<int32_t>(random() % (changed.entryCount + 1));
        for (int32_t i = changed.entryCount; i > at; --i)
            changed.entries[i] = changed.entries[i - 1];
        changed.entries[at] = added;
        ++changed.entryCount;
        ObjectVerdict after;
        JudgeObject(kind, changed, kRunner, &after);
        if (neutral) {
            ASSERT_EQ(after.passed, before.passed) << round;
        } else if (!before.passed) {
            ASSERT_FALSE(after.passed) << round;
        }
    }
}

// The runner's start on the fake, where C:\jobs\cycle_launch.exe is the
// executable and its configuration a real file.
class StartCheckTest : public ProgramFolderTest {
protected:
    Refusal Start(JournalRole role) {
        fake::Reset(options_);
        SetWarningRole(role == JournalRole::kService ? WarningRole::kService
                                                     : WarningRole::kForeground);
        Refusal refusal = StartRunner(role);
        CloseJournal();
        fake::Finish();
        return refusal;
    }
    std::string Journal() const {
        std::ifstream in(directory_ + "/cycle_launch.foreground.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool JournalExists() const {
        return std::ifstream(directory_ + "/cycle_launch.foreground.log").good();
    }
};

TEST_F(StartCheckTest, ASoundFolderStartsWithoutAWord) {
    WriteConfig("2,C:\\a.exe\n");
    EXPECT_EQ(Start(JournalRole::kForeground), Refusal::kNone);
    EXPECT_TRUE(fake::Warnings().empty());
    EXPECT_TRUE(fake::Events().empty());
}

// One box lists every finding and its fix; nothing is written into a
// folder that others can change.
TEST_F(StartCheckTest, AFolderOthersCanChangeIsRefusedInOneBox) {
    WriteConfig("2,C:\\a.exe\n");
    options_.unsafePaths = {"C:\\jobs", "C:\\"};
    EXPECT_EQ(Start(JournalRole::kForeground), Refusal::kUnsafeFiles);
    ASSERT_EQ(fake::Warnings().size(), 1u);
    const std::string report = fake::Warnings()[0];
    EXPECT_EQ(report.rfind("Cycle_launch does not run: others can change its files", 0), 0u)
        << report;
    EXPECT_NE(
        report.find("\nC:\\jobs can be changed by Everyone (S-1-1-0): add file, add subfolder, "
                    "write extended attributes, delete contents, write attributes, delete\n"),
        std::string::npos)
        << report;
    EXPECT_NE(report.find("\nC:\\ can be changed by Everyone (S-1-1-0): delete contents, delete\n"),
              std::string::npos)
        << report;
    EXPECT_NE(
        report.find("\nicacls \"C:\\jobs\" /remove *S-1-1-0\nicacls \"C:\\jobs\" /inheritance:r "
                    "/grant:r \"*S-1-5-18:(OI)(CI)F\" \"*S-1-5-32-544:(OI)(CI)F\" "
                    "\"*S-1-5-32-545:(OI)(CI)RX\""),
        std::string::npos)
        << report;
    // A root's permissions reach the whole drive: no command for them.
    EXPECT_NE(report.find("\nC:\\ is the root of a drive or share"), std::string::npos) << report;
    EXPECT_EQ(report.find("icacls \"C:\\\" "), std::string::npos) << report;
    EXPECT_EQ(report.find("icacls \"C:\\\\\""), std::string::npos) << report;
    EXPECT_FALSE(JournalExists());
}

// Where only the configuration fails, the journal tells why and ends with
// a stop, so that the next start finds no crash.
TEST_F(StartCheckTest, AConfigurationOthersCanChangeEndsTheJournalCleanly) {
    WriteConfig("2,C:\\a.exe\n");
    options_.unsafePaths = {"C:\\jobs\\cycle_launch.txt"};
    options_.desktopSeen = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Start(JournalRole::kForeground), Refusal::kUnsafeFiles);
    std::string standardError = testing::internal::GetCapturedStderr();
    EXPECT_NE(standardError.find("C:\\jobs\\cycle_launch.txt can be changed by Everyone (S-1-1-0): "
                                 "write data, append, write extended attributes, write attributes, "
                                 "delete\n"),
              std::string::npos)
        << standardError;
    EXPECT_NE(standardError.find("icacls \"C:\\jobs\\cycle_launch.txt\" /inheritance:r /grant:r "
                                 "\"*S-1-5-18:F\" \"*S-1-5-32-544:F\" \"*S-1-5-32-545:RX\""),
              std::string::npos);
    ASSERT_EQ(fake::Events().size(), 1u);
    EXPECT_TRUE(fake::Events()[0].isError);
    EXPECT_EQ(fake::Events()[0].id, 7u);
    std::string journal = Journal();
    EXPECT_NE(journal.find("\trunner\t\t\t\t\t\tstop: others can change cycle_launch.txt; 0 runs"),
              std::string::npos)
        << journal;
}

TEST_F(StartCheckTest, TheServiceWritesAnErrorEventAndSendsTheBox) {
    WriteConfig("2,C:\\a.exe\n");
    options_.unsafePaths = {"C:\\jobs\\cycle_launch.exe"};
    EXPECT_EQ(Start(JournalRole::kService), Refusal::kUnsafeFiles);
    ASSERT_EQ(fake::Events().size(), 1u);
    EXPECT_TRUE(fake::Events()[0].isError);
    EXPECT_EQ(fake::Events()[0].id, static_cast<uint32_t>(WarningEvent::kUnsafePermissions));
    EXPECT_NE(fake::Events()[0].text.find("C:\\jobs\\cycle_launch.exe can be changed by Everyone"),
              std::string::npos);
    EXPECT_EQ(fake::ConsoleMessages(), std::vector<std::string>{fake::Events()[0].text});
    EXPECT_TRUE(fake::Warnings().empty()) << "nobody sees the service's own desktop";
}

// The override runs all the same, and says so at every start, even from a
// sound folder; never in a box.
TEST_F(StartCheckTest, TheOverrideWarnsAtEveryStart) {
    WriteConfig("2,C:\\a.exe\n");
    options_.allowUnsafePermissions = true;
    for (bool unsafe : {true, false}) {
        options_.unsafePaths =
            unsafe ? std::vector<std::string>{"C:\\jobs"} : std::vector<std::string>{};
        testing::internal::CaptureStderr();
        EXPECT_EQ(Start(JournalRole::kForeground), Refusal::kNone);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(fake::Events().size(), 1u);
        EXPECT_FALSE(fake::Events()[0].isError);
        EXPECT_EQ(fake::Events()[0].id,
                  static_cast<uint32_t>(WarningEvent::kUnsafePermissionsAllowed));
        EXPECT_EQ(fake::Events()[0].text.find("AllowUnsafePermissions is set"), 0u);
        EXPECT_EQ(fake::Events()[0].text.find("C:\\jobs can be changed") != std::string::npos,
                  unsafe);
        EXPECT_EQ(fake::Events()[0].text.find("does not run"), std::string::npos);
        EXPECT_TRUE(fake::Warnings().empty());
        EXPECT_NE(Journal().find("AllowUnsafePermissions is set"), std::string::npos);
    }
}

// The arguments of a command line as CommandLineToArgvW reads them:
// 2n backslashes and a quote give n and a quote that opens or closes,
// 2n+1 give n and a quote itself; other backslashes are themselves.
std::vector<std::string> SplitAsWindows(const std::string& line) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size();) {
        char c = line[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) arguments.push_back(current);
            current.clear();
            inArgument = false;
            ++i;
            continue;
        }
        inArgument = true;
        if (c == '\\') {
            size_t count = 0;
            while (i < line.size() && line[i] == '\\') ++count, ++i;
            if (i < line.size() && line[i] == '"') {
                current.append(count / 2, '\\');
                if (count % 2 == 1) {
                    current += '"';
                    ++i;
                }
            } else {
                current.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
        } else {
            current += c;
        }
        ++i;
    }
    if (inArgument) arguments.push_back(current);
    return arguments;
}

struct QuoteCase {
    const char* path;
    const char* quoted;
};

TEST(FixTest, EveryPathIsOneArgumentAsTheCommandLineReadsIt) {
    const QuoteCase cases[] = {
        {"C:\\nightly jobs", "\"C:\\nightly jobs\""},
        {"C:\\jobs\\", "\"C:\\jobs\\\\\""},
        {"C:\\", "\"C:\\\\\""},
        {"\\\\server\\share\\", "\"\\\\server\\share\\\\\""},
        {"C:\\a\\\\", "\"C:\\a\\\\\\\\\""},
    };
    for (const QuoteCase& c : cases) {
        char quoted[256];
        QuoteArgument(c.path, quoted, sizeof quoted);
        EXPECT_STREQ(quoted, c.quoted);
        std::vector<std::string> arguments =
            SplitAsWindows(std::string("icacls ") + quoted + " /remove *S-1-1-0");
        ASSERT_EQ(arguments.size(), 4u) << quoted;
        EXPECT_EQ(arguments[1], c.path);
    }
    EXPECT_EQ(RootLength("C:\\jobs"), 3u);
    EXPECT_EQ(RootLength("\\\\server\\share\\jobs"), 15u);
    EXPECT_EQ(RootLength("\\\\?\\Volume{0}\\jobs"), 14u);
}

// Where a link leads, as worked out by hand before Vista: the substitute
// name in place of the link, whatever form the system gave it.
struct LinkCase {
    const char* path;
    size_t end;  // the link is path's first end bytes
    const char* target;
    bool relative;
    const char* leads;  // nullptr: does not fit
};

TEST(LinkTest, ALinkIsReplacedByWhereItLeads) {
    const LinkCase cases[] = {
        {"C:\\Tools\\runner", 8, "\\??\\D:\\Shared\\Tools", false, "D:\\Shared\\Tools\\runner"},
        {"C:\\app\\x", 6, "\\??\\D:\\", false, "D:\\x"},
        {"C:\\app", 6, "\\??\\D:\\", false, "D:\\"},
        {"C:\\mnt\\data", 6, "\\??\\Volume{4c1b}\\", false, "\\\\?\\Volume{4c1b}\\data"},
        {"C:\\link\\x", 7, "\\??\\UNC\\server\\share", false, "\\\\server\\share\\x"},
        {"X:\\runner", 2, "\\??\\C:\\real", false, "C:\\real\\runner"},
        {"C:\\a\\link\\x", 9, "..\\b", true, "C:\\b\\x"},
        {"C:\\a\\link\\x", 9, "\\dir", true, "C:\\dir\\x"},
        {"C:\\link\\x", 7, "..\\..\\b\\.\\c", true, "C:\\b\\c\\x"},
        {"C:\\a\\link", 9, "sub\\", true, "C:\\a\\sub"},
        {"C:\\Tools\\runner", 8, "\\??\\D:\\a-folder-whose-name-does-not-fit", false, nullptr},
        {"C:\\link", 7, "\\??\\UNC\\srv\\share", false, "\\\\srv\\share"},
        {"C:\\link\\x", 7, "\\Device\\Null", false, nullptr},
    };
    for (const LinkCase& c : cases) {
        char out[32];
        bool fits = link_target::ReplaceLink(c.path, c.end, c.target, c.relative, out, sizeof out);
        EXPECT_EQ(fits, c.leads != nullptr) << c.path << " " << c.target;
        if (fits && c.leads != nullptr) {
            EXPECT_STREQ(out, c.leads) << c.path << " " << c.target;
        }
    }
}

// The reparse data as FSCTL_GET_REPARSE_POINT gives it: a header, a
// symbolic link's flags, then the names.
std::vector<uint8_t> ReparseData(uint32_t tag, uint32_t flags, const std::u16string& name,
                                 size_t cut = 0) {
    std::vector<uint8_t> data;
    auto put16 = [&](uint32_t v) { data.push_back(v & 0xff), data.push_back((v >> 8) & 0xff); };
    auto put32 = [&](uint32_t v) { put16(v & 0xffff), put16(v >> 16); };
    bool symbolic = tag == 0xA000000C;
    uint16_t bytes = static_cast<uint16_t>(name.size() * 2);
    put32(tag);
    put16(8 + bytes * 2 + (symbolic ? 4 : 0));
    put16(0);
    put16(0), put16(bytes);      // substitute name
    put16(bytes), put16(bytes);  // print name, after it
    if (symbolic) put32(flags);
    for (int twice = 0; twice < 2; ++twice) {
        for (char16_t unit : name) put16(unit);
    }
    data.resize(data.size() - cut);
    return data;
}

TEST(LinkTest, ReadsTheSubstituteNameOfJunctionsAndSymbolicLinksAlone) {
    const std::u16string name = u"\\??\\D:\\x";
    link_target::Substitute substitute;
    auto junction = ReparseData(0xA0000003, 0, name);
    ASSERT_TRUE(link_target::ParseReparseData(junction.data(), junction.size(), &substitute));
    EXPECT_TRUE(substitute.leads);
    EXPECT_FALSE(substitute.relative);
    EXPECT_EQ(substitute.offset, 16u);
    EXPECT_EQ(substitute.bytes, name.size() * 2);
    auto relative = ReparseData(0xA000000C, 1, u"..\\b");
    ASSERT_TRUE(link_target::ParseReparseData(relative.data(), relative.size(), &substitute));
    EXPECT_TRUE(substitute.relative);
    EXPECT_EQ(substitute.offset, 20u);
    // A deduplicated or cloud file names nothing elsewhere.
    auto other = ReparseData(0x80000013, 0, name);
    ASSERT_TRUE(link_target::ParseReparseData(other.data(), other.size(), &substitute));
    EXPECT_FALSE(substitute.leads);
    // Shorter than its offsets say, or than its header: refused, never
    // read past.
    for (size_t cut : {size_t{3} * name.size(), junction.size() - 10, junction.size() - 6}) {
        auto cutShort = ReparseData(0xA0000003, 0, name, cut);
        EXPECT_FALSE(link_target::ParseReparseData(cutShort.data(), cutShort.size(), &substitute))
            << cut;
    }
    auto symbolicShort = ReparseData(0xA000000C, 0, u"", 0);
    symbolicShort.resize(18);
    EXPECT_FALSE(
        link_target::ParseReparseData(symbolicShort.data(), symbolicShort.size(), &substitute));
    // A name that starts between two units.
    junction[8] = 1;
    EXPECT_FALSE(link_target::ParseReparseData(junction.data(), junction.size(), &substitute));
}

// Where the runner's files really are, and whether another program holds
// the configuration: each start's verdict, its report, and fixes that are
// safe to paste.
struct PlaceCase {
    const char* name;
    std::string executable;
    std::vector<std::pair<std::string, std::string>> realFolders;
    std::vector<std::string> unsafePaths;
    int64_t writerUntilMs;  // -1: no writer; from 0
    uint32_t configLinks;
    Refusal refusal;
    std::vector<std::string> told;     // in the report, each
    std::vector<std::string> notTold;  // nowhere in it
    uint32_t realPathError = 0;        // where the folder leads can't be read
    int64_t lockedUntilMs = -1;        // a reader that shares nothing holds the files
};

std::vector<PlaceCase> PlaceCases() {
    const std::string junction = "C:\\Tools\\runner\\cycle_launch.exe";
    return {
        {"SoundThroughAJunction",
         junction,
         {{"C:\\Tools", "D:\\Shared\\Tools"}},
         {},
         -1,
         1,
         Refusal::kNone,
         {},
         {}},
        {"JunctionToAFolderOthersChange",
         junction,
         {{"C:\\Tools", "D:\\Shared\\Tools"}},
         {"D:\\Shared"},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nD:\\Shared can be changed by Everyone (S-1-1-0): delete contents, delete\n",
          "\nicacls \"D:\\Shared\" /remove *S-1-1-0"},
         {}},
        {"OwnFolderIsAJunction",
         "C:\\runner\\cycle_launch.exe",
         {{"C:\\runner", "D:\\x"}},
         {"D:\\x"},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nC:\\runner is a link (a reparse point)\n", "\nD:\\x can be changed by Everyone"},
         {}},
        {"SubstDrive",
         "X:\\runner\\cycle_launch.exe",
         {{"X:", "C:\\real"}},
         {"C:\\real"},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nC:\\real can be changed by Everyone"},
         {"X:\\"}},
        {"AJunctionOthersCanReplace",
         junction,
         {{"C:\\Tools", "D:\\Shared\\Tools"}},
         {"C:\\Tools"},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nC:\\Tools can be changed by Everyone", "\nicacls \"C:\\Tools\" /remove *S-1-1-0"},
         {"D:\\"}},
        {"UncPath",
         "\\\\server\\share\\runner\\cycle_launch.exe",
         {},
         {},
         -1,
         1,
         Refusal::kNetworkLocation,
         {"Cycle_launch does not run: its folder is on the network",
          "\n\\\\server\\share\\runner is on the network: its permissions name the file "
          "server's accounts",
          "\ncopy Cycle_launch into a folder of its own on a local disk"},
         {"icacls", "can be changed"}},
        {"MappedDrive",
         "Z:\\runner\\cycle_launch.exe",
         {{"Z:", "\\\\server\\share"}},
         {},
         -1,
         1,
         Refusal::kNetworkLocation,
         {"\n\\\\server\\share\\runner is on the network"},
         {"icacls"}},
        {"RunnerInADriveRoot",
         "C:\\cycle_launch.exe",
         {},
         {"C:\\"},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nC:\\ can be changed by Everyone",
          "\nC:\\ is the root of a drive or share, whose permissions reach all that is on it"},
         {"icacls"}},
        {"FolderWithSpaces",
         "C:\\nightly jobs\\cycle_launch.exe",
         {},
         {"C:\\nightly jobs"},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nicacls \"C:\\nightly jobs\" /inheritance:r"},
         {}},
        {"ConfigurationHeldOpen",
         "C:\\jobs\\cycle_launch.exe",
         {},
         {},
         fake::kNever,
         1,
         Refusal::kConfigurationHeldOpen,
         {"Cycle_launch does not run: another program holds cycle_launch.txt open",
          "\nC:\\jobs\\cycle_launch.txt is held open by another program, which may write to it "
          "whatever its permissions say\n",
          "\nclose the program that holds C:\\jobs\\cycle_launch.txt open, or restart the machine"},
         {"icacls"}},
        {"ConfigurationSavedDuringStart",
         "C:\\jobs\\cycle_launch.exe",
         {},
         {},
         1500,
         1,
         Refusal::kNone,
         {},
         {}},
        {"UnsafeFilesBeforeAWriter",
         "C:\\jobs\\cycle_launch.exe",
         {},
         {"C:\\jobs"},
         fake::kNever,
         1,
         Refusal::kUnsafeFiles,
         {"is held open", "\nC:\\jobs can be changed"},
         {}},
        {"HardLinkedConfiguration",
         "C:\\jobs\\cycle_launch.exe",
         {},
         {},
         -1,
         2,
         Refusal::kNone,
         {},
         {}},
        {"WhereItLeadsUnreadable",
         "C:\\jobs\\cycle_launch.exe",
         {},
         {},
         -1,
         1,
         Refusal::kUnsafeFiles,
         {"\nC:\\jobs: where it really is (through links and substituted drives) can't be read: "
          "error 1921"},
         {"icacls"},
         1921},
        // One that shares nothing can't be told from a writer; nor can the
        // override read past it.
        {"ConfigurationHeldBySomeoneSharingNothing",
         "C:\\jobs\\cycle_launch.exe",
         {},
         {},
         -1,
         1,
         Refusal::kConfigurationHeldOpen,
         {"cycle_launch.txt is held open by another program"},
         {},
         0,
         fake::kNever},
    };
}

class PlaceTest : public StartCheckTest, public testing::WithParamInterface<PlaceCase> {};

TEST_P(PlaceTest, JudgesWhereTheFilesReallyAre) {
    const PlaceCase& c = GetParam();
    WriteConfig("2,C:\\a.exe\n");
    options_.executablePath = c.executable;
    options_.realFolders = c.realFolders;
    options_.unsafePaths = c.unsafePaths;
    options_.configWriterFromMs = c.writerUntilMs < 0 ? -1 : 0;
    options_.configWriterUntilMs = c.writerUntilMs;
    options_.configLinks = c.configLinks;
    options_.realPathError = c.realPathError;
    options_.lockedUntilMs = c.lockedUntilMs;
    EXPECT_EQ(Start(JournalRole::kForeground), c.refusal);
    if (c.refusal == Refusal::kNone) {
        EXPECT_TRUE(fake::Warnings().empty());
        return;
    }
    ASSERT_EQ(fake::Warnings().size(), 1u);
    const std::string report = fake::Warnings()[0];
    for (const std::string& told : c.told)
        EXPECT_NE(report.find(told), std::string::npos) << told << "\n" << report;
    for (const std::string& absent : c.notTold)
        EXPECT_EQ(report.find(absent), std::string::npos) << absent << "\n" << report;
    // Each command names, as one argument, an object found at fault, and
    // never a root.
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("icacls ", 0) != 0) continue;
        std::vector<std::string> arguments = SplitAsWindows(line);
        ASSERT_GE(arguments.size(), 3u) << line;
        EXPECT_NE(report.find("\n" + arguments[1] + " "), std::string::npos) << line;
        EXPECT_GT(arguments[1].size(), RootLength(arguments[1].c_str())) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Places, PlaceTest, testing::ValuesIn(PlaceCases()),
                         [](const testing::TestParamInfo<PlaceCase>& info) {
                             return std::string(info.param.name);
                         });

// Its folder is sound: the journal tells why the runner did not run, and
// the service's own code tells it apart.
TEST_F(StartCheckTest, AConfigurationHeldOpenEndsTheJournalWithItsOwnStop) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configWriterFromMs = 0;
    options_.configWriterUntilMs = fake::kNever;
    EXPECT_EQ(Start(JournalRole::kForeground), Refusal::kConfigurationHeldOpen);
    EXPECT_NE(Journal().find(
                  "\trunner\t\t\t\t\t\tstop: another program holds cycle_launch.txt open; 0 runs"),
              std::string::npos)
        << Journal();
}

// Where nobody sees a box, the start's report reaches standard error only
// through its writer: whole, however long, and a standard error that takes
// nothing holds a refused start's exit, or the override's, no longer than
// the flush allows. The event log has the report either way.
struct StartReportCase {
    const char* name;
    bool allowed;          // the administrator's override is set
    int64_t stuckUntilMs;  // kNever: standard error never takes anything
};

class StartReportTest : public StartCheckTest,
                        public testing::WithParamInterface<StartReportCase> {};

TEST_P(StartReportTest, ReachesStandardErrorThroughItsWriter) {
    const StartReportCase& c = GetParam();
    WriteConfig("2,C:\\a.exe\n");
    options_.desktopSeen = false;
    options_.allowUnsafePermissions = c.allowed;
    options_.standardErrorStuckUntilMs = c.stuckUntilMs;
    // Enough findings to make the report longer than any warning's line.
    const std::string folder = "C:\\nightly maintenance jobs";
    options_.executablePath = folder + "\\cycle_launch.exe";
    options_.unsafePaths = {options_.executablePath, folder + "\\cycle_launch.txt", folder, "C:\\"};
    fake::Reset(options_);
    SetWarningRole(WarningRole::kForeground);

    testing::internal::CaptureStderr();
    auto began = std::chrono::steady_clock::now();
    bool started = StartRunner(JournalRole::kForeground) == Refusal::kNone;
    // The exit's own flush; a refusal has flushed already.
    bool flushed = !started || FlushWarnings();
    auto waited = std::chrono::steady_clock::now() - began;
    std::string said = testing::internal::GetCapturedStderr();
    CloseJournal();
    fake::Finish();

    EXPECT_EQ(started, c.allowed);
    EXPECT_LT(waited, std::chrono::milliseconds(kWarningsFlushMs + 300));
    ASSERT_EQ(fake::Events().size(), 1u);
    const fake::Event event = fake::Events()[0];
    EXPECT_EQ(event.isError, !c.allowed);
    EXPECT_GT(event.text.size(), 1100u) << "no longer than a queued line";
    if (c.stuckUntilMs == fake::kNever) {
        EXPECT_EQ(said, "");
        EXPECT_EQ(flushed, !c.allowed);
    } else {
        EXPECT_EQ(said, "Cycle_launch: " + event.text + "\n");
        EXPECT_TRUE(flushed);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StartReportTest,
                         testing::Values(StartReportCase{"RefusedStuck", false, fake::kNever},
                                         StartReportCase{"RefusedFree", false, -1},
                                         StartReportCase{"AllowedStuck", true, fake::kNever},
                                         StartReportCase{"AllowedFree", true, -1}),
                         [](const testing::TestParamInfo<StartReportCase>& info) {
                             return info.param.name;
                         });

// A version saved into a file that others can change is rejected once; the
// jobs in force stay. A change of permissions alone does nothing.
class UnsafeReloadTest : public ProgramFolderTest {
protected:
    void Run() {
        fake::Reset(options_);
        SetWarningRole(WarningRole::kForeground);
        OpenJournal(JournalRole::kForeground);
        RunScheduler(nullptr);
        CloseJournal();
        fake::Finish();
    }
    static std::vector<int64_t> StartsOf(const std::string& commandLine) {
        std::vector<int64_t> starts;
        for (const auto& launch : fake::Launches()) {
            if (launch.commandLine == commandLine) starts.push_back(launch.startMs);
        }
        return starts;
    }
};

TEST_F(UnsafeReloadTest, ANewVersionInAFileOthersCanChangeIsRejectedOnce) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configUnsafeFromMs = 2500;
    options_.configSaves = {{2500, "2,C:\\b.exe\n"}};
    options_.stopAtMs = 12000;
    options_.desktopSeen = false;
    testing::internal::CaptureStderr();
    Run();
    std::string standardError = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(StartsOf("b.exe").empty());
    EXPECT_EQ(StartsOf("a.exe"), (std::vector<int64_t>{0, 3000, 6000, 9000}));
    size_t first = standardError.find("others can change it; new version rejected");
    EXPECT_NE(first, std::string::npos) << standardError;
    EXPECT_EQ(standardError.find("others can change it", first + 1), std::string::npos)
        << "told once";
    EXPECT_NE(standardError.find("C:\\jobs\\cycle_launch.txt can be changed by Everyone"),
              std::string::npos);
}

TEST_F(UnsafeReloadTest, TheOverrideReadsAFileOthersCanChange) {
    WriteConfig("2,C:\\a.exe\n");
    options_.unsafePaths = {"C:\\jobs\\cycle_launch.txt"};
    options_.allowUnsafePermissions = true;
    options_.configSaves = {{2500, "2,C:\\b.exe\n"}};
    options_.stopAtMs = 12000;
    Run();
    std::vector<int64_t> old = StartsOf("a.exe");
    std::vector<int64_t> taken = StartsOf("b.exe");
    ASSERT_FALSE(taken.empty()) << "the new version was not taken";
    EXPECT_LE(old.back(), taken.front());
}

// A program that holds the file open for writing keeps the next version
// back, as a save in progress does; told once if it lasts a minute.
class HeldOpenReloadTest : public UnsafeReloadTest {
protected:
    std::string RunWithWriter(int64_t writerUntilMs, int64_t stopAtMs) {
        WriteConfig("2,C:\\a.exe\n");
        options_.configWriterFromMs = 2500;
        options_.configWriterUntilMs = writerUntilMs;
        options_.configSaves = {{2500, "2,C:\\b.exe\n"}};
        options_.stopAtMs = stopAtMs;
        options_.desktopSeen = false;
        testing::internal::CaptureStderr();
        Run();
        return testing::internal::GetCapturedStderr();
    }
    static constexpr char kTold[] = "another program has held it open for a minute";
};

TEST_F(HeldOpenReloadTest, TheVersionIsTakenOnceTheWriterLeaves) {
    std::string standardError = RunWithWriter(5500, 12000);
    std::vector<int64_t> taken = StartsOf("b.exe");
    ASSERT_FALSE(taken.empty()) << "the version was not taken once the writer left";
    EXPECT_GE(taken.front(), 5500);
    EXPECT_EQ(standardError.find(kTold), std::string::npos) << standardError;
}

TEST_F(HeldOpenReloadTest, AWriterThatStaysIsToldOnceAfterAMinute) {
    std::string standardError = RunWithWriter(fake::kNever, 66000);
    EXPECT_TRUE(StartsOf("b.exe").empty());
    size_t told = standardError.find(kTold);
    ASSERT_NE(told, std::string::npos) << standardError;
    EXPECT_EQ(standardError.find(kTold, told + 1), std::string::npos) << "told once";
    int journaled = 0;
    for (const auto& record : JournalRecords()) {
        if (record[7].find(kTold) != std::string::npos) {
            ++journaled;
            EXPECT_GE(record[0], "2026-12-10T12:01:02") << "a minute after the first read held";
        }
    }
    EXPECT_EQ(journaled, 1);
}

TEST_F(UnsafeReloadTest, TheOverrideReadsAFileHeldOpen) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configWriterFromMs = 0;
    options_.configWriterUntilMs = fake::kNever;
    options_.allowUnsafePermissions = true;
    options_.configSaves = {{2500, "2,C:\\b.exe\n"}};
    options_.stopAtMs = 12000;
    Run();
    EXPECT_FALSE(StartsOf("b.exe").empty()) << "the new version was not taken";
}

TEST_F(UnsafeReloadTest, PermissionsChangedAloneStopNothing) {
    WriteConfig("2,C:\\a.exe\n");
    options_.configUnsafeFromMs = 2500;
    options_.stopAtMs = 12000;
    options_.desktopSeen = false;
    testing::internal::CaptureStderr();
    Run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(StartsOf("a.exe"), (std::vector<int64_t>{0, 3000, 6000, 9000}));
}

}  // namespace
