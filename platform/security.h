// Who may change a file or a folder, as the system records it: its owner,
// the entries of its access list, and whether it is really where it seems.
#pragma once

#include <cstddef>
#include <cstdint>

// A security identifier in its binary form: at most 15 sub-authorities.
constexpr size_t kSecurityIdBytes = 68;
struct SecurityId {
    uint8_t bytes[kSecurityIdBytes];
    uint32_t length;  // 0: none
};

// The entries of one access list that are kept; a list with more is judged
// unreadable rather than judged in part.
constexpr int32_t kMaxAccessEntries = 64;

struct AccessEntry {
    uint8_t type;    // the system's ACE type
    uint8_t flags;   // the system's ACE flags
    uint32_t mask;   // as stored: generic rights not yet mapped
    SecurityId sid;  // none for a type whose layout is not read
};

struct ObjectSecurity {
    uint32_t readError;  // 0 when read; then the rest holds
    SecurityId owner;
    bool nullDacl;  // no access list at all: anyone may do anything
    bool tooManyEntries;
    int32_t entryCount;
    AccessEntry entries[kMaxAccessEntries];
    bool reparsePoint;
    uint32_t links;  // hard links of a file; 1 for folders
};

// How a file is opened to be judged. Windows checks access when a handle is
// opened, so a handle opened for writing before the permissions changed
// still writes: kRefused makes the open fail with a sharing violation while
// any such handle exists. Folders are opened as kAllowed whatever is asked.
enum class OtherWriters { kRefused, kAllowed };

// False where the system keeps no owners nor access lists (Windows 9x).
bool HasFileSecurity();

// Reads the owner, the access list and the kind of the file or folder at path.
void ReadPathSecurity(const char* path, OtherWriters writers, ObjectSecurity* security);

// Where the folder at path really is: junctions, symbolic links and
// substituted drives followed, as "C:\dir" (a mapped drive stays one). With
// *onNetwork when that is on another machine, whose accounts this one can't
// judge. False with the platform's error.
bool ReadRealPath(const char* path, char* real, size_t size, bool* onNetwork, uint32_t* error);

// Opens the file once, reads its security and then its first size bytes
// through that same handle, so that what was judged is what is read. Others
// may read, rename or delete it meanwhile, and write it as writers says.
// False with the platform's error when it can't be opened or read;
// security->readError alone when its security can't be read.
bool ReadCheckedFile(const char* path, OtherWriters writers, ObjectSecurity* security, char* buffer,
                     size_t size, size_t* length, uint32_t* error);

// The account this process runs as (its token's user).
bool ReadRunnerAccount(SecurityId* sid);

// "DOMAIN\name" of the account; "" where the system can't name it.
void DescribeAccount(const SecurityId& sid, char* name, size_t size);

// True when the REG_DWORD name under HKEY_LOCAL_MACHINE\key is 1: a setting
// that only administrators can write.
bool IsMachineSwitchOn(const char* key, const char* name);

// True where icacls exists (Windows Vista and later).
bool HasIcacls();
