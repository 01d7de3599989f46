// The verdict on one object's security: who besides the accounts that run
// the runner could change it, and the report that names each finding with
// the commands that fix it. The platform reads, the verdict judges without
// asking it anything; the report asks it for names and messages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/job_types.h"
#include "jobs/report/texts.h"
#include "platform/security.h"

// Room for a path the verdict names: a folder taken from a kTextSize path,
// and the configuration's name.
constexpr size_t kConfigPathSize = kTextSize + sizeof texts::kConfigFileName;

enum class ObjectKind { kFile, kOwnFolder, kAncestorFolder };

enum class FindingKind {
    kUnreadable,  // detail: the platform's error
    kOwner,       // sid: the owner
    kNullDacl,
    kRights,        // sid, rights (mapped), inherited
    kUnknownEntry,  // detail: the ACE type; sid when known
    kTooManyEntries,
    kReparsePoint,
    kHeldOpen,         // another program holds the file open: it may write
    kNetworkLocation,  // the object's path is where it really is
    kUnresolved,       // where it really is can't be read; detail: the error
};

struct Finding {
    FindingKind kind;
    SecurityId sid;
    uint32_t rights;
    bool inherited;
    uint32_t detail;
};

constexpr int32_t kMaxFindings = 16;

struct ObjectVerdict {
    bool passed;
    int32_t count;      // findings kept
    bool moreFindings;  // past kMaxFindings
    Finding findings[kMaxFindings];
};

// The rights of mask once its generic rights are mapped as for files.
uint32_t MapFileGenericRights(uint32_t mask);

// The rights that let their holder change an object of that kind.
uint32_t ChangingRights(ObjectKind kind);

// SYSTEM, Administrators, TrustedInstaller, and the runner's own account.
bool IsAcceptedAccount(const SecurityId& sid, const SecurityId& runner);

// The verdict on one object read by the platform.
void JudgeObject(ObjectKind kind, const ObjectSecurity& security, const SecurityId& runner,
                 ObjectVerdict* verdict);

// "S-1-5-32-544".
void FormatSecurityId(const SecurityId& sid, char* text, size_t size);

// "write data, append, delete", by the names of the kind's rights.
void DescribeRights(ObjectKind kind, uint32_t rights, char* text, size_t size);

// The length of path's root: 3 for "C:\", up to the share's backslash for
// "\\server\share\" and "\\?\Volume{...}\".
size_t RootLength(const char* path);

// path as one argument of a command line, as the C runtime and
// CommandLineToArgvW read it back: "C:\a b" and "C:\\" for C:\.
void QuoteArgument(const char* path, char* text, size_t size);

// Adds a finding and fails the verdict; past kMaxFindings, only counts it.
void AddFinding(ObjectVerdict* verdict, FindingKind kind, const SecurityId* sid, uint32_t rights,
                bool inherited, uint32_t detail);

// An object judged, by the path the report names.
struct CheckedObject {
    char path[kConfigPathSize];
    ObjectKind kind;
    ObjectVerdict verdict;
};

constexpr size_t kReportBytes = 16384;

// heading, each failed object's findings, then the commands that fix them,
// folders above the runner's first.
void ComposeReport(char* text, size_t size, const char* heading, const CheckedObject* objects,
                   int32_t count);
