// Whether the runner's files can be changed by anyone but the accounts that
// run it: the service runs every job as LocalSystem, so whoever can change
// the executable, its folder or the configuration can run anything so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/security.h"

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

// Where the runner stands after judging its files at start.
enum class StartCheck {
    kPassed,
    kConfigurationFails,  // only the configuration: its folder is sound
    kFolderFails,         // the executable, its folder or a folder above
};

// Why a start is refused, by the service's own exit code. Where several
// apply, files that others can change come first, then a network location.
enum class Refusal : uint32_t {
    kNone = 0,
    kUnsafeFiles = 1,
    kConfigurationHeldOpen = 2,  // another program may write it
    kNetworkLocation = 3,        // permissions this machine can't judge
};

// Judges the executable, its folder and every folder above it, both where
// the path says and where it really leads, and the configuration, and
// composes the report of every finding with the commands that fix them
// (StartCheckReport). Call before the journal opens.
StartCheck CheckRunnerFiles();
const char* StartCheckReport();
Refusal StartCheckRefusal();  // kNone when passed

// The length of path's root: 3 for "C:\", up to the share's backslash for
// "\\server\share\" and "\\?\Volume{...}\".
size_t RootLength(const char* path);

// path as one argument of a command line, as the C runtime and
// CommandLineToArgvW read it back: "C:\a b" and "C:\\" for C:\.
void QuoteArgument(const char* path, char* text, size_t size);

// Reads the configuration through the handle whose security is judged; an
// administrator's override lets a failing one be read all the same.
// False with the platform's error when it can't be read; *unsafe then tells
// that it was read but fails the check: length still tells the bytes read,
// and the report is in ConfigCheckReport().
bool ReadJudgedConfig(char* buffer, size_t size, size_t* length, uint32_t* error, bool* unsafe);
const char* ConfigCheckReport();

// A new version of the configuration, read as ReadJudgedConfig reads it.
// From a file that fails the check, the bytes pass only where they are
// those last read from a sound one: a change of permissions alone waits for
// the next version. Any other version is rejected, and told once.
bool ReadConfigVersion(char* buffer, size_t size, size_t* length, uint32_t* error);

// An editor in the middle of a save holds the file for a moment.
constexpr uint32_t kSaveWaitMilliseconds = 2000;
constexpr uint32_t kSaveWaitStepMilliseconds = 50;

// True when an administrator set the registry's override of the check.
bool IsUnsafePermissionsAllowed();

// The platform's error given for a configuration that fails the check.
constexpr uint32_t kErrorUnsafeConfiguration = kErrorAccessDenied;
