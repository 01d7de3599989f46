#include "jobs/permissions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "jobs/config.h"
#include "jobs/job_types.h"
#include "jobs/journal.h"
#include "jobs/program_folder.h"
#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

// The system's rights and ACE layout, as Windows numbers them.
constexpr uint32_t kWriteData = 0x2;   // add file, on a folder
constexpr uint32_t kAppendData = 0x4;  // add subfolder, on a folder
constexpr uint32_t kWriteExtended = 0x10;
constexpr uint32_t kDeleteChild = 0x40;
constexpr uint32_t kWriteAttributes = 0x100;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kWriteOwner = 0x80000;
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericExecute = 0x20000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kGenericRights = kGenericRead | kGenericWrite | kGenericExecute | kGenericAll;
constexpr uint32_t kFileGenericRead = 0x120089;
constexpr uint32_t kFileGenericWrite = 0x120116;
constexpr uint32_t kFileGenericExecute = 0x1200a0;
constexpr uint32_t kFileAllAccess = 0x1f01ff;

constexpr uint32_t kFileChangingRights = kWriteData | kAppendData | kWriteExtended |
                                         kWriteAttributes | kDelete | kWriteDac | kWriteOwner;
constexpr uint32_t kAncestorChangingRights = kDelete | kWriteDac | kWriteOwner | kDeleteChild;

constexpr uint8_t kAccessAllowed = 0x0;
constexpr uint8_t kAccessDenied = 0x1;
constexpr uint8_t kAccessDeniedObject = 0x6;
constexpr uint8_t kAccessDeniedCallback = 0xA;
constexpr uint8_t kAccessDeniedCallbackObject = 0xC;
constexpr uint8_t kInheritOnly = 0x08;
constexpr uint8_t kInherited = 0x10;

// The accepted accounts, built by hand: CreateWellKnownSid is Windows XP's.
constexpr SecurityId kLocalSystem = {{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 12};
constexpr SecurityId kAdministrators = {{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}, 16};
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464
constexpr SecurityId kTrustedInstaller = {
    {1,    6,    0,    0,    0,    0,    0,    5,    80,   0,    0,
     0,    0xB5, 0x89, 0xFB, 0x38, 0x19, 0x84, 0xC2, 0xCB, 0x5C, 0x6C,
     0x23, 0x6D, 0x57, 0x00, 0x77, 0x6E, 0xC0, 0x02, 0x64, 0x87},
    32};

constexpr int32_t kMaxCheckedObjects = 130;  // C:\a\b\... at MAX_PATH
constexpr size_t kReportBytes = 16384;

struct CheckedObject {
    char path[kConfigPathSize];
    ObjectKind kind;
    ObjectVerdict verdict;
};

// Used once at start, then by the configuration's reader alone.
CheckedObject Checked[kMaxCheckedObjects];
ObjectSecurity Security;
char Report[kReportBytes];
char ConfigReport[kReportBytes];

bool SameSid(const SecurityId& a, const SecurityId& b) {
    return a.length != 0 && a.length == b.length && std::memcmp(a.bytes, b.bytes, a.length) == 0;
}

void AddFinding(ObjectVerdict* verdict, FindingKind kind, const SecurityId* sid, uint32_t rights,
                bool inherited, uint32_t detail) {
    verdict->passed = false;
    if (verdict->count == kMaxFindings) {
        verdict->moreFindings = true;
        return;
    }
    Finding& finding = verdict->findings[verdict->count++];
    finding = Finding{};
    finding.kind = kind;
    if (sid != nullptr) finding.sid = *sid;
    finding.rights = rights;
    finding.inherited = inherited;
    finding.detail = detail;
}

bool IsDenyType(uint8_t type) {
    return type == kAccessDenied || type == kAccessDeniedObject || type == kAccessDeniedCallback ||
           type == kAccessDeniedCallbackObject;
}

// Appends to text at *at, never past size; the text stays terminated.
void Append(char* text, size_t size, size_t* at, const char* format, ...) {
    if (*at + 1 >= size) return;
    va_list arguments;
    va_start(arguments, format);
    int written = std::vsnprintf(text + *at, size - *at, format, arguments);
    va_end(arguments);
    if (written < 0) return;
    *at +=
        static_cast<size_t>(written) < size - *at ? static_cast<size_t>(written) : size - *at - 1;
}

void NameAccount(const SecurityId& sid, char* name, size_t size) {
    DescribeAccount(sid, name, size);
    if (name[0] == '\0') std::snprintf(name, size, "%s", texts::kUnnamedAccount);
}

void AppendFindings(char* text, size_t size, size_t* at, const CheckedObject& object) {
    char name[kTextSize];
    char sid[kTextSize];
    char rights[kTextSize];
    for (int32_t i = 0; i < object.verdict.count; ++i) {
        const Finding& finding = object.verdict.findings[i];
        Append(text, size, at, "\n");
        switch (finding.kind) {
        case FindingKind::kUnreadable:
        case FindingKind::kUnresolved:
            DescribeSystemError(finding.detail, name, sizeof name);
            Append(text, size, at,
                   finding.kind == FindingKind::kUnreadable ? texts::kUnsafeUnreadableFormat
                                                            : texts::kUnsafeUnresolvedFormat,
                   object.path, static_cast<unsigned long>(finding.detail), name);
            break;
        case FindingKind::kOwner:
            NameAccount(finding.sid, name, sizeof name);
            FormatSecurityId(finding.sid, sid, sizeof sid);
            Append(text, size, at, texts::kUnsafeOwnerFormat, object.path, name, sid);
            break;
        case FindingKind::kNullDacl:
            Append(text, size, at, texts::kUnsafeNullDaclFormat, object.path);
            break;
        case FindingKind::kRights:
            NameAccount(finding.sid, name, sizeof name);
            FormatSecurityId(finding.sid, sid, sizeof sid);
            DescribeRights(object.kind, finding.rights, rights, sizeof rights);
            Append(text, size, at, texts::kUnsafeRightsFormat, object.path, name, sid, rights,
                   finding.inherited ? texts::kUnsafeInherited : "");
            break;
        case FindingKind::kUnknownEntry:
            FormatSecurityId(finding.sid, sid, sizeof sid);
            Append(text, size, at, texts::kUnsafeUnknownEntryFormat, object.path,
                   static_cast<unsigned long>(finding.detail), sid);
            break;
        case FindingKind::kTooManyEntries:
            Append(text, size, at, texts::kUnsafeTooManyEntriesFormat, object.path);
            break;
        case FindingKind::kReparsePoint:
            Append(text, size, at, texts::kUnsafeReparsePointFormat, object.path);
            break;
        case FindingKind::kHeldOpen:
            Append(text, size, at, texts::kUnsafeHeldOpenFormat, object.path);
            break;
        case FindingKind::kNetworkLocation:
            Append(text, size, at, texts::kUnsafeNetworkFormat, object.path);
            break;
        }
    }
    if (object.verdict.moreFindings) {
        Append(text, size, at, "\n");
        Append(text, size, at, texts::kUnsafeMoreFindingsFormat, object.path);
    }
}

bool IsRoot(const char* path) { return std::strlen(path) <= RootLength(path); }

// The fixes that need no icacls: what to close, replace or move. True when
// the object also needs its permissions or its owner changed.
bool AppendPlainFixes(char* text, size_t size, size_t* at, const CheckedObject& object) {
    bool permissions = false;
    for (int32_t i = 0; i < object.verdict.count; ++i) {
        const Finding& finding = object.verdict.findings[i];
        switch (finding.kind) {
        case FindingKind::kReparsePoint:
            Append(text, size, at, "\n");
            Append(text, size, at, texts::kFixLinkFormat, object.path);
            break;
        case FindingKind::kHeldOpen:
            Append(text, size, at, "\n");
            Append(text, size, at, texts::kFixHeldOpenFormat, object.path);
            break;
        case FindingKind::kNetworkLocation:
            Append(text, size, at, "\n");
            Append(text, size, at, texts::kFixNetworkFormat, object.path);
            break;
        case FindingKind::kRights:
        case FindingKind::kNullDacl:
        case FindingKind::kUnknownEntry:
        case FindingKind::kTooManyEntries:
        case FindingKind::kOwner:
            permissions = true;
            break;
        case FindingKind::kUnreadable:
        case FindingKind::kUnresolved:
            break;
        }
    }
    // A root's permissions reach the whole drive: no command for them.
    if (permissions && IsRoot(object.path)) {
        Append(text, size, at, "\n");
        Append(text, size, at, texts::kFixRootFormat, object.path);
        return false;
    }
    return permissions;
}

// The commands that make the object safe: an explicit entry removed by its
// SID; for the runner's own folder and files, only what the system,
// administrators and users need, nothing inherited; the owner.
void AppendIcaclsFixes(char* text, size_t size, size_t* at, const CheckedObject& object) {
    bool resetList = false;
    bool resetOwner = false;
    char sid[kTextSize];
    char quoted[kConfigPathSize + 8];
    QuoteArgument(object.path, quoted, sizeof quoted);
    for (int32_t i = 0; i < object.verdict.count; ++i) {
        const Finding& finding = object.verdict.findings[i];
        switch (finding.kind) {
        case FindingKind::kRights:
            if (!finding.inherited) {
                FormatSecurityId(finding.sid, sid, sizeof sid);
                Append(text, size, at, "\n");
                Append(text, size, at, texts::kFixRemoveFormat, quoted, sid);
            }
            resetList = true;
            break;
        case FindingKind::kNullDacl:
        case FindingKind::kUnknownEntry:
        case FindingKind::kTooManyEntries:
            resetList = true;
            break;
        case FindingKind::kOwner:
            resetOwner = true;
            break;
        case FindingKind::kReparsePoint:
        case FindingKind::kHeldOpen:
        case FindingKind::kNetworkLocation:
        case FindingKind::kUnreadable:
        case FindingKind::kUnresolved:
            break;
        }
    }
    // Above its own folder the runner owns nothing: what others may add
    // there stays theirs.
    if (resetList && object.kind != ObjectKind::kAncestorFolder) {
        Append(text, size, at, "\n");
        Append(text, size, at,
               object.kind == ObjectKind::kFile ? texts::kFixFileFormat : texts::kFixFolderFormat,
               quoted);
    }
    if (resetOwner) {
        Append(text, size, at, "\n");
        Append(text, size, at, texts::kFixOwnerFormat, quoted);
    }
}

// Findings, then the fixes, of the objects that failed.
void ComposeReport(char* text, size_t size, const char* heading, const CheckedObject* objects,
                   int32_t count) {
    size_t at = 0;
    text[0] = '\0';
    Append(text, size, &at, "%s", heading);
    for (int32_t i = 0; i < count; ++i) AppendFindings(text, size, &at, objects[i]);
    Append(text, size, &at, "\n%s", texts::kFixHeader);
    bool icacls = HasIcacls();
    bool byHand = false;
    // Upper folders first: a folder's entries reach the files below it.
    for (int32_t pass = 0; pass < 2; ++pass) {
        for (int32_t n = 0; n < count; ++n) {
            const CheckedObject& object = pass == 0 ? objects[count - 1 - n] : objects[n];
            if ((object.kind == ObjectKind::kAncestorFolder) != (pass == 0)) continue;
            if (!AppendPlainFixes(text, size, &at, object)) continue;
            if (icacls) {
                AppendIcaclsFixes(text, size, &at, object);
            } else {
                byHand = true;
            }
        }
    }
    if (byHand) Append(text, size, &at, "\n%s", texts::kFixByHand);
}

// The last bytes read from a configuration that passed, and the last
// version rejected for failing, told once: the reader's alone.
uint64_t LastSafeHash = 0;
bool HasUnsafeHash = false;
uint64_t LastUnsafeHash = 0;

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

uint32_t MapFileGenericRights(uint32_t mask) {
    uint32_t rights = mask & ~kGenericRights;
    if ((mask & kGenericRead) != 0) rights |= kFileGenericRead;
    if ((mask & kGenericWrite) != 0) rights |= kFileGenericWrite;
    if ((mask & kGenericExecute) != 0) rights |= kFileGenericExecute;
    if ((mask & kGenericAll) != 0) rights |= kFileAllAccess;
    return rights;
}

uint32_t ChangingRights(ObjectKind kind) {
    switch (kind) {
    case ObjectKind::kFile:
        return kFileChangingRights;
    case ObjectKind::kOwnFolder:
        return kFileChangingRights | kDeleteChild;
    case ObjectKind::kAncestorFolder:
        break;
    }
    return kAncestorChangingRights;
}

bool IsAcceptedAccount(const SecurityId& sid, const SecurityId& runner) {
    return SameSid(sid, kLocalSystem) || SameSid(sid, kAdministrators) ||
           SameSid(sid, kTrustedInstaller) || SameSid(sid, runner);
}

void JudgeObject(ObjectKind kind, const ObjectSecurity& security, const SecurityId& runner,
                 ObjectVerdict* verdict) {
    verdict->passed = true;
    verdict->count = 0;
    verdict->moreFindings = false;
    // Met only by an open that refuses writers: one holds it, or one that
    // shares nothing, which can't be told from a writer.
    if (security.readError == kErrorSharingViolation) {
        AddFinding(verdict, FindingKind::kHeldOpen, nullptr, 0, false, 0);
        return;
    }
    if (security.readError != 0) {
        AddFinding(verdict, FindingKind::kUnreadable, nullptr, 0, false, security.readError);
        return;
    }
    // A link leads elsewhere than the path that was judged; above the
    // runner's folder, the path as a whole is what counts.
    if (kind != ObjectKind::kAncestorFolder && security.reparsePoint) {
        AddFinding(verdict, FindingKind::kReparsePoint, nullptr, 0, false, 0);
    }
    // A second hard link is no reason: the file's one access list guards
    // it under every name, and the runner only reads these files.
    if (!IsAcceptedAccount(security.owner, runner)) {
        AddFinding(verdict, FindingKind::kOwner, &security.owner, 0, false, 0);
    }
    if (security.nullDacl) {
        AddFinding(verdict, FindingKind::kNullDacl, nullptr, 0, false, 0);
        return;
    }
    if (security.tooManyEntries) {
        AddFinding(verdict, FindingKind::kTooManyEntries, nullptr, 0, false, 0);
        return;
    }
    uint32_t changing = ChangingRights(kind);
    for (int32_t i = 0; i < security.entryCount; ++i) {
        const AccessEntry& entry = security.entries[i];
        // Applies to what is created below, not to this object.
        if ((entry.flags & kInheritOnly) != 0) continue;
        // A deny may be ordered after an allow, or removed: never credited.
        if (IsDenyType(entry.type)) continue;
        if (entry.type != kAccessAllowed) {
            // Granted on conditions the runner can't evaluate.
            AddFinding(verdict, FindingKind::kUnknownEntry, &entry.sid, 0, false, entry.type);
            continue;
        }
        uint32_t rights = MapFileGenericRights(entry.mask) & changing;
        if (rights == 0 || IsAcceptedAccount(entry.sid, runner)) continue;
        AddFinding(verdict, FindingKind::kRights, &entry.sid, rights,
                   (entry.flags & kInherited) != 0, 0);
    }
}

void FormatSecurityId(const SecurityId& sid, char* text, size_t size) {
    size_t at = 0;
    text[0] = '\0';
    if (sid.length < 8) return;
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid.bytes[i];
    Append(text, size, &at, "S-%u-%llu", sid.bytes[0], static_cast<unsigned long long>(authority));
    uint32_t count = sid.bytes[1];
    for (uint32_t i = 0; i < count && 8 + 4 * i + 4 <= sid.length; ++i) {
        const uint8_t* sub = sid.bytes + 8 + 4 * i;
        uint32_t value =
            sub[0] | (sub[1] << 8) | (sub[2] << 16) | (static_cast<uint32_t>(sub[3]) << 24);
        Append(text, size, &at, "-%lu", static_cast<unsigned long>(value));
    }
}

void DescribeRights(ObjectKind kind, uint32_t rights, char* text, size_t size) {
    bool folder = kind != ObjectKind::kFile;
    struct Named {
        uint32_t right;
        const char* name;
    };
    const Named names[] = {
        {kWriteData, folder ? texts::kRightAddFile : texts::kRightWriteData},
        {kAppendData, folder ? texts::kRightAddFolder : texts::kRightAppend},
        {kWriteExtended, texts::kRightWriteExtended},
        {kDeleteChild, texts::kRightDeleteChild},
        {kWriteAttributes, texts::kRightWriteAttributes},
        {kDelete, texts::kRightDelete},
        {kWriteDac, texts::kRightChangePermissions},
        {kWriteOwner, texts::kRightTakeOwnership},
    };
    size_t at = 0;
    text[0] = '\0';
    for (const Named& named : names) {
        if ((rights & named.right) == 0) continue;
        Append(text, size, &at, "%s%s", at == 0 ? "" : texts::kRightSeparator, named.name);
    }
}

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
    char* lastBackslash = std::strrchr(executable, '\\');
    if (lastBackslash == nullptr) return StartCheck::kPassed;
    size_t root = RootLength(executable);
    size_t folder = static_cast<size_t>(lastBackslash - executable);
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

bool IsUnsafePermissionsAllowed() {
    return IsMachineSwitchOn(texts::kParametersKey, texts::kAllowUnsafePermissionsValue);
}

size_t RootLength(const char* path) {
    if (path[0] == '\\' && path[1] == '\\') {
        // "\\server\share\", "\\?\Volume{...}\": two names.
        const char* first = std::strchr(path + 2, '\\');
        if (first == nullptr) return std::strlen(path);
        const char* second = std::strchr(first + 1, '\\');
        return second == nullptr ? std::strlen(path) : static_cast<size_t>(second - path) + 1;
    }
    const char* first = std::strchr(path, '\\');
    return first == nullptr ? std::strlen(path) : static_cast<size_t>(first - path) + 1;
}

void QuoteArgument(const char* path, char* text, size_t size) {
    // Backslashes are themselves but before a quote, where 2n of them
    // read as n: only those before the closing quote are doubled.
    size_t length = std::strlen(path);
    size_t trailing = 0;
    while (trailing < length && path[length - 1 - trailing] == '\\') ++trailing;
    std::snprintf(text, size, "\"%s%.*s\"", path, static_cast<int>(trailing),
                  path + length - trailing);
}

bool ReadJudgedConfig(char* buffer, size_t size, size_t* length, uint32_t* error, bool* unsafe) {
    *unsafe = false;
    *length = 0;
    // By its full path: the current folder may not be the program's.
    char path[kConfigPathSize];
    if (!ConfigFilePath(path, sizeof path)) {
        *error = kErrorPathNotFound;
        return false;
    }
    if (!HasFileSecurity()) return ReadWholeFile(path, buffer, size, length, error);
    static CheckedObject Object;
    if (!ReadCheckedFile(path, OtherWriters::kRefused, &Security, buffer, size, length, error)) {
        // The override was told at start; a writer from before is let be.
        if (*error != kErrorSharingViolation || !IsUnsafePermissionsAllowed()) return false;
        if (!ReadCheckedFile(path, OtherWriters::kAllowed, &Security, buffer, size, length,
                             error)) {
            return false;
        }
    }
    SecurityId runner = {};
    if (!ReadRunnerAccount(&runner)) runner.length = 0;
    JudgeObject(ObjectKind::kFile, Security, runner, &Object.verdict);
    // The override was told at start; asked only while the file fails.
    if (Object.verdict.passed || IsUnsafePermissionsAllowed()) {
        LastSafeHash = HashConfigBytes(buffer, *length);
        HasUnsafeHash = false;  // a failing version after this one is news
        return true;
    }
    Object.kind = ObjectKind::kFile;
    std::snprintf(Object.path, sizeof Object.path, "%s", path);
    ComposeReport(ConfigReport, sizeof ConfigReport, texts::kReloadUnsafe, &Object, 1);
    *unsafe = true;
    *error = kErrorUnsafeConfiguration;
    return false;
}

const char* ConfigCheckReport() { return ConfigReport; }

bool ReadConfigVersion(char* buffer, size_t size, size_t* length, uint32_t* error) {
    bool unsafe = false;
    if (ReadJudgedConfig(buffer, size, length, error, &unsafe)) return true;
    if (!unsafe) return false;
    uint64_t hash = HashConfigBytes(buffer, *length);
    if (hash == LastSafeHash) return true;
    if (!HasUnsafeHash || hash != LastUnsafeHash) {
        HasUnsafeHash = true;
        LastUnsafeHash = hash;
        RaiseReloadRejected(ConfigCheckReport());
        JournalReload(0, 0, ConfigCheckReport());
    }
    *length = 0;
    return false;
}
