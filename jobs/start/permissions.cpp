#include "jobs/start/permissions.h"

#include <cstdio>
#include <cstring>

#include "jobs/config/config_file.h"
#include "jobs/config/verdict.h"
#include "jobs/program_folder.h"
#include "jobs/report/texts.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/system.h"

namespace {

constexpr int32_t kMaxCheckedObjects = 130;  // C:\a\b\... at MAX_PATH

// Used once at start.
CheckedObject Checked[kMaxCheckedObjects];
ObjectSecurity Security;
char Report[kReportBytes];

int32_t Checking = 0;
bool FolderFailed = false;
bool ConfigFailed = false;
Refusal StartRefusal = Refusal::kNone;

void Fail(bool isConfiguration, const ObjectVerdict& verdict) {
    ++Checking;
    (isConfiguration ? ConfigFailed : FolderFailed) = true;
    for (int32_t i = 0; i < verdict.count; ++i) {
        Refusal refusal = Refusal::kUnsafeFiles;
        if (verdict.findings[i].kind == FindingKind::kHeldOpen) {
            refusal = Refusal::kConfigurationHeldOpen;
        } else if (verdict.findings[i].kind == FindingKind::kNetworkLocation) {
            refusal = Refusal::kNetworkLocation;
        }
        bool first = StartRefusal == Refusal::kNone || refusal == Refusal::kUnsafeFiles ||
                     (refusal == Refusal::kNetworkLocation &&
                      StartRefusal == Refusal::kConfigurationHeldOpen);
        if (first) StartRefusal = refusal;
    }
}

// Judges the object at path's first length bytes; true when it is a link.
bool Check(const char* path, size_t length, ObjectKind kind, const SecurityId& runner,
           bool isConfiguration) {
    if (Checking == kMaxCheckedObjects) return false;
    CheckedObject& object = Checked[Checking];
    std::snprintf(object.path, sizeof object.path, "%.*s", static_cast<int>(length), path);
    object.kind = kind;
    // Read as its reader reads it, so that a writer from before shows.
    OtherWriters writers = isConfiguration ? OtherWriters::kRefused : OtherWriters::kAllowed;
    for (uint32_t waited = 0;; waited += kSaveWaitStepMilliseconds) {
        ReadPathSecurity(object.path, writers, &Security);
        if (Security.readError != kErrorSharingViolation || waited >= kSaveWaitMilliseconds) break;
        SleepMilliseconds(kSaveWaitStepMilliseconds);
    }
    // A missing configuration is told as it always was.
    if (isConfiguration &&
        (Security.readError == kErrorFileNotFound || Security.readError == kErrorPathNotFound)) {
        return false;
    }
    bool link = Security.readError == 0 && Security.reparsePoint;
    JudgeObject(kind, Security, runner, &object.verdict);
    if (!object.verdict.passed) Fail(isConfiguration, object.verdict);
    return link;
}

// A finding of the platform's own, outside any access list.
void Refuse(const char* path, ObjectKind kind, FindingKind finding, uint32_t detail) {
    if (Checking == kMaxCheckedObjects) return;
    CheckedObject& object = Checked[Checking];
    std::snprintf(object.path, sizeof object.path, "%s", path);
    object.kind = kind;
    object.verdict = ObjectVerdict{};
    AddFinding(&object.verdict, finding, nullptr, 0, false, detail);
    Fail(false, object.verdict);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether the folder at path's first length bytes is folder or one above
// it; paths compare as Windows names do, but for letters outside ASCII.
bool IsWithin(const char* path, size_t length, const char* folder) {
    size_t folderLength = std::strlen(folder);
    if (length == 0 || length > folderLength) return false;
    for (size_t i = 0; i < length; ++i) {
        if (Lower(path[i]) != Lower(folder[i])) return false;
    }
    return length == folderLength || folder[length] == '\\' || path[length - 1] == '\\';
}

// Each folder above the one at path's first folder bytes, up to the root,
// which keeps its backslash; those within skip are judged already, and the
// root is left where it is judged as the folder it really is.
void CheckAncestors(const char* path, size_t folder, const char* skip, bool skipRoot,
                    const SecurityId& runner) {
    size_t root = RootLength(path);
    for (size_t end = folder; end > root;) {
        do {
            --end;
        } while (end > root && path[end] != '\\');
        size_t length = end < root ? root : end;
        if (skip != nullptr && IsWithin(path, length, skip)) continue;
        if (skipRoot && length == root) continue;
        Check(path, length, ObjectKind::kAncestorFolder, runner, false);
    }
}

// A substituted drive's root is a folder elsewhere, judged as that among
// the folders the runner's really sits in.
bool IsRootElsewhere(const char* path) {
    char root[kTextSize];
    std::snprintf(root, sizeof root, "%.*s", static_cast<int>(RootLength(path)), path);
    char real[kTextSize];
    bool onNetwork = false;
    uint32_t error = 0;
    if (!ReadRealPath(root, real, sizeof real, &onNetwork, &error)) return false;
    return !IsWithin(real, std::strlen(real), root) || std::strlen(real) != std::strlen(root);
}

}  // namespace

StartCheck CheckRunnerFiles() {
    Checking = 0;
    FolderFailed = false;
    ConfigFailed = false;
    StartRefusal = Refusal::kNone;
    Report[0] = '\0';
    if (!HasFileSecurity()) return StartCheck::kPassed;
    SecurityId runner = {};
    if (!ReadRunnerAccount(&runner)) runner.length = 0;
    char executable[kTextSize];
    // Without its path the load fails and says so.
    if (!GetExecutablePath(executable, sizeof executable)) return StartCheck::kPassed;
    size_t folder = FolderLength(executable);
    if (folder == 0) return StartCheck::kPassed;
    --folder;  // without its backslash
    size_t root = RootLength(executable);
    if (folder < root) folder = root;

    // Through junctions, symbolic links and substituted drives: what
    // guards the files is where they really are.
    char ownFolder[kTextSize];
    std::snprintf(ownFolder, sizeof ownFolder, "%.*s", static_cast<int>(folder), executable);
    char real[kTextSize];
    uint32_t error = 0;
    bool onNetwork = false;
    if (!ReadRealPath(ownFolder, real, sizeof real, &onNetwork, &error)) {
        Refuse(ownFolder, ObjectKind::kOwnFolder, FindingKind::kUnresolved, error);
    } else if (onNetwork) {
        // Its access lists name another machine's accounts.
        Refuse(real, ObjectKind::kOwnFolder, FindingKind::kNetworkLocation, 0);
    } else {
        Check(executable, std::strlen(executable), ObjectKind::kFile, runner, false);
        bool link = Check(executable, folder, ObjectKind::kOwnFolder, runner, false);
        CheckAncestors(executable, folder, nullptr, IsRootElsewhere(executable), runner);
        if (!IsWithin(real, std::strlen(real), ownFolder)) {
            if (link) Check(real, std::strlen(real), ObjectKind::kOwnFolder, runner, false);
            CheckAncestors(real, std::strlen(real), ownFolder, false, runner);
        }
        char configuration[kConfigPathSize];
        if (ConfigFilePath(configuration, sizeof configuration)) {
            Check(configuration, std::strlen(configuration), ObjectKind::kFile, runner, true);
        }
    }
    if (Checking == 0) return StartCheck::kPassed;
    const char* heading = texts::kUnsafeRefusal;
    if (StartRefusal == Refusal::kConfigurationHeldOpen) heading = texts::kHeldOpenRefusal;
    if (StartRefusal == Refusal::kNetworkLocation) heading = texts::kNetworkRefusal;
    ComposeReport(Report, sizeof Report, heading, Checked, Checking);
    return FolderFailed ? StartCheck::kFolderFails : StartCheck::kConfigurationFails;
}

const char* StartCheckReport() { return Report; }

Refusal StartCheckRefusal() { return StartRefusal; }
