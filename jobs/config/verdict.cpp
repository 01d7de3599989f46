#include "jobs/config/verdict.h"

#include <cstdio>
#include <cstring>

#include "jobs/report/bounded_text.h"
#include "jobs/report/texts.h"
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

bool SameSid(const SecurityId& a, const SecurityId& b) {
    return a.length != 0 && a.length == b.length && std::memcmp(a.bytes, b.bytes, a.length) == 0;
}

bool IsDenyType(uint8_t type) {
    return type == kAccessDenied || type == kAccessDeniedObject || type == kAccessDeniedCallback ||
           type == kAccessDeniedCallbackObject;
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
        AppendFormat(text, size, at, "\n");
        switch (finding.kind) {
        case FindingKind::kUnreadable:
        case FindingKind::kUnresolved:
            DescribeSystemError(finding.detail, name, sizeof name);
            AppendFormat(text, size, at,
                         finding.kind == FindingKind::kUnreadable ? texts::kUnsafeUnreadableFormat
                                                                  : texts::kUnsafeUnresolvedFormat,
                         object.path, static_cast<unsigned long>(finding.detail), name);
            break;
        case FindingKind::kOwner:
            NameAccount(finding.sid, name, sizeof name);
            FormatSecurityId(finding.sid, sid, sizeof sid);
            AppendFormat(text, size, at, texts::kUnsafeOwnerFormat, object.path, name, sid);
            break;
        case FindingKind::kNullDacl:
            AppendFormat(text, size, at, texts::kUnsafeNullDaclFormat, object.path);
            break;
        case FindingKind::kRights:
            NameAccount(finding.sid, name, sizeof name);
            FormatSecurityId(finding.sid, sid, sizeof sid);
            DescribeRights(object.kind, finding.rights, rights, sizeof rights);
            AppendFormat(text, size, at, texts::kUnsafeRightsFormat, object.path, name, sid, rights,
                         finding.inherited ? texts::kUnsafeInherited : "");
            break;
        case FindingKind::kUnknownEntry:
            FormatSecurityId(finding.sid, sid, sizeof sid);
            AppendFormat(text, size, at, texts::kUnsafeUnknownEntryFormat, object.path,
                         static_cast<unsigned long>(finding.detail), sid);
            break;
        case FindingKind::kTooManyEntries:
            AppendFormat(text, size, at, texts::kUnsafeTooManyEntriesFormat, object.path);
            break;
        case FindingKind::kReparsePoint:
            AppendFormat(text, size, at, texts::kUnsafeReparsePointFormat, object.path);
            break;
        case FindingKind::kHeldOpen:
            AppendFormat(text, size, at, texts::kUnsafeHeldOpenFormat, object.path);
            break;
        case FindingKind::kNetworkLocation:
            AppendFormat(text, size, at, texts::kUnsafeNetworkFormat, object.path);
            break;
        }
    }
    if (object.verdict.moreFindings) {
        AppendFormat(text, size, at, "\n");
        AppendFormat(text, size, at, texts::kUnsafeMoreFindingsFormat, object.path);
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
            AppendFormat(text, size, at, "\n");
            AppendFormat(text, size, at, texts::kFixLinkFormat, object.path);
            break;
        case FindingKind::kHeldOpen:
            AppendFormat(text, size, at, "\n");
            AppendFormat(text, size, at, texts::kFixHeldOpenFormat, object.path);
            break;
        case FindingKind::kNetworkLocation:
            AppendFormat(text, size, at, "\n");
            AppendFormat(text, size, at, texts::kFixNetworkFormat, object.path);
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
        AppendFormat(text, size, at, "\n");
        AppendFormat(text, size, at, texts::kFixRootFormat, object.path);
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
                AppendFormat(text, size, at, "\n");
                AppendFormat(text, size, at, texts::kFixRemoveFormat, quoted, sid);
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
        AppendFormat(text, size, at, "\n");
        AppendFormat(
            text, size, at,
            object.kind == ObjectKind::kFile ? texts::kFixFileFormat : texts::kFixFolderFormat,
            quoted);
    }
    if (resetOwner) {
        AppendFormat(text, size, at, "\n");
        AppendFormat(text, size, at, texts::kFixOwnerFormat, quoted);
    }
}

}  // namespace

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
    AppendFormat(text, size, &at, "S-%u-%llu", sid.bytes[0],
                 static_cast<unsigned long long>(authority));
    uint32_t count = sid.bytes[1];
    for (uint32_t i = 0; i < count && 8 + 4 * i + 4 <= sid.length; ++i) {
        const uint8_t* sub = sid.bytes + 8 + 4 * i;
        uint32_t value =
            sub[0] | (sub[1] << 8) | (sub[2] << 16) | (static_cast<uint32_t>(sub[3]) << 24);
        AppendFormat(text, size, &at, "-%lu", static_cast<unsigned long>(value));
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
        AppendFormat(text, size, &at, "%s%s", at == 0 ? "" : texts::kRightSeparator, named.name);
    }
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

void ComposeReport(char* text, size_t size, const char* heading, const CheckedObject* objects,
                   int32_t count) {
    size_t at = 0;
    text[0] = '\0';
    AppendFormat(text, size, &at, "%s", heading);
    for (int32_t i = 0; i < count; ++i) AppendFindings(text, size, &at, objects[i]);
    AppendFormat(text, size, &at, "\n%s", texts::kFixHeader);
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
    if (byHand) AppendFormat(text, size, &at, "\n%s", texts::kFixByHand);
}
