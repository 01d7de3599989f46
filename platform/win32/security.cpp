#include "platform/security.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/link_target.h"
#include "platform/system.h"
#include "platform/win32/late_function.h"
#include "platform/win32/read_to_end.h"

namespace {

constexpr DWORD kFirstVistaMajorVersion = 6;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Editors that save by renaming still save.
constexpr DWORD kShareWithoutWriters = FILE_SHARE_READ | FILE_SHARE_DELETE;
// Not in every SDK's headers.
constexpr DWORD kOpenReparsePoint = 0x00200000;  // FILE_FLAG_OPEN_REPARSE_POINT
constexpr DWORD kReparsePointAttribute = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT
constexpr BYTE kAllowedCallback = 0x9;  // ACCESS_ALLOWED_CALLBACK_ACE_TYPE: the same layout
constexpr SECURITY_INFORMATION kOwnerAndList =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// One reader at a time: the start, then the configuration's reader.
alignas(8) unsigned char Descriptor[64 * 1024];

void CopySecurityId(PSID source, SecurityId* target) {
    target->length = 0;
    if (source == nullptr || !IsValidSid(source)) return;
    DWORD length = GetLengthSid(source);
    if (length > sizeof target->bytes) return;
    std::memcpy(target->bytes, source, length);
    target->length = length;
}

// Owner, access list, links and reparse point through an open handle.
void ReadHandleSecurity(HANDLE object, ObjectSecurity* security) {
    *security = ObjectSecurity{};
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(object, kOwnerAndList, Descriptor, sizeof Descriptor, &needed)) {
        security->readError = GetLastError();
        return;
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL list = nullptr;
    if (!GetSecurityDescriptorOwner(Descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(Descriptor, &present, &list, &defaulted)) {
        security->readError = GetLastError();
        return;
    }
    CopySecurityId(owner, &security->owner);
    security->nullDacl = !present || list == nullptr;
    if (!security->nullDacl) {
        for (DWORD i = 0; i < list->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(list, i, &ace)) {
                security->readError = GetLastError();
                return;
            }
            if (security->entryCount == kMaxAccessEntries) {
                security->tooManyEntries = true;
                break;
            }
            const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
            AccessEntry& entry = security->entries[security->entryCount++];
            entry.type = header->AceType;
            entry.flags = header->AceFlags;
            // Every ACE type keeps its mask right after the header.
            entry.mask = static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
            entry.sid.length = 0;
            if (entry.type == ACCESS_ALLOWED_ACE_TYPE || entry.type == ACCESS_DENIED_ACE_TYPE ||
                entry.type == kAllowedCallback) {
                CopySecurityId(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &entry.sid);
            }
        }
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(object, &information)) {
        security->readError = GetLastError();
        return;
    }
    security->reparsePoint = (information.dwFileAttributes & kReparsePointAttribute) != 0;
    // A folder's count is its file system's business (Wine gives Unix's).
    bool folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    security->links = folder ? 1 : information.nNumberOfLinks;
}

// Where a path leads. Not in every SDK's headers.
constexpr DWORD kGetReparsePoint = 0x000900A8;  // FSCTL_GET_REPARSE_POINT
constexpr DWORD kNameDos = 0x0;                 // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
constexpr DWORD kNameGuid = 0x1;                // VOLUME_NAME_GUID
// Windows itself follows at most 63 links in one name.
constexpr int kMaxLinksFollowed = 63;
constexpr size_t kPathBytes = 1024;

using GetFinalPathFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);

alignas(8) unsigned char ReparseData[16 * 1024];  // MAXIMUM_REPARSE_DATA_BUFFER_SIZE

bool StartsWithNoCase(const char* text, const char* prefix) {
    return _strnicmp(text, prefix, std::strlen(prefix)) == 0;
}

// "\\?\C:\dir" as "C:\dir", "\\?\UNC\server\share" as "\\server\share".
void DropExtendedPrefix(char* path) {
    if (StartsWithNoCase(path, "\\\\?\\UNC\\") || StartsWithNoCase(path, "\\\\.\\UNC\\")) {
        std::memmove(path + 2, path + 8, std::strlen(path + 8) + 1);
    } else if ((StartsWithNoCase(path, "\\\\?\\") || StartsWithNoCase(path, "\\\\.\\")) &&
               path[4] != '\0' && path[5] == ':') {
        std::memmove(path, path + 4, std::strlen(path + 4) + 1);
    }
}

// Vista and later: the system's own answer.
bool ReadFinalPath(GetFinalPathFunction getFinalPath, const char* path, char* real, size_t size,
                   uint32_t* error) {
    HANDLE folder = CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    DWORD capacity = static_cast<DWORD>(size);
    DWORD length = getFinalPath(folder, real, capacity, kNameDos);
    // A volume mounted in a folder alone has no drive letter.
    if (length == 0 || length >= capacity) length = getFinalPath(folder, real, capacity, kNameGuid);
    *error = length >= capacity ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
    CloseHandle(folder);
    if (length == 0 || length >= capacity) return false;
    DropExtendedPrefix(real);
    return true;
}

// The link's substitute name, in the ANSI code page; "" for a reparse
// point that names nothing elsewhere.
bool ReadLinkTarget(const char* link, char* target, size_t size, bool* relative, uint32_t* error) {
    HANDLE object = CreateFileA(link, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | kOpenReparsePoint, nullptr);
    if (object == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    DWORD returned = 0;
    bool read = DeviceIoControl(object, kGetReparsePoint, nullptr, 0, ReparseData,
                                sizeof ReparseData, &returned, nullptr) != 0;
    *error = GetLastError();
    CloseHandle(object);
    if (!read) return false;
    link_target::Substitute substitute;
    if (!link_target::ParseReparseData(ReparseData, returned, &substitute)) {
        *error = ERROR_INVALID_REPARSE_DATA;
        return false;
    }
    *relative = substitute.relative;
    target[0] = '\0';
    if (!substitute.leads) return true;
    BOOL usedDefault = FALSE;
    int length =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS,
                            reinterpret_cast<const WCHAR*>(ReparseData + substitute.offset),
                            static_cast<int>(substitute.bytes / sizeof(WCHAR)), target,
                            static_cast<int>(size - 1), nullptr, &usedDefault);
    if (length <= 0 || usedDefault) {
        *error = length <= 0 ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    target[length] = '\0';
    return true;
}

// Why a link could not be followed: too long a result, or a name that is
// no path (a device's own).
DWORD FailureOf(const char* path, const char* target, size_t size) {
    return std::strlen(path) + std::strlen(target) < size ? ERROR_BAD_PATHNAME
                                                          : ERROR_FILENAME_EXCED_RANGE;
}

// Replaces path's first substituted drive or link by where it leads.
// *followed false: nothing left to follow.
bool FollowOne(char* path, size_t size, bool* followed, uint32_t* error) {
    *followed = false;
    char target[kPathBytes];
    char composed[kPathBytes];
    if (size > sizeof composed) size = sizeof composed;
    if (path[0] == '\\') return true;  // a network or volume name: as far as it goes
    if (path[0] == '\0' || path[1] != ':') {
        *error = ERROR_BAD_PATHNAME;
        return false;
    }
    const char drive[3] = {path[0], ':', '\0'};
    const char root[4] = {path[0], ':', '\\', '\0'};
    // Links stored on another machine lead where its owners say: none is
    // followed, the drive is the network.
    if (GetDriveTypeA(root) == DRIVE_REMOTE) return true;
    if (QueryDosDeviceA(drive, target, sizeof target) != 0 &&
        std::strncmp(target, "\\??\\", 4) == 0) {
        // subst: "\??\C:\dir" in place of "X:"
        if (!link_target::ReplaceLink(path, 2, target, false, composed, size)) {
            *error = FailureOf(path, target, size);
            return false;
        }
        std::memcpy(path, composed, std::strlen(composed) + 1);
        *followed = true;
        return true;
    }
    // Each folder from the root down: the first link found is followed.
    for (size_t end = 3; path[end - 1] != '\0'; ++end) {
        if (path[end] != '\\' && path[end] != '\0') continue;
        char saved = path[end];
        path[end] = '\0';
        DWORD attributes = GetFileAttributesA(path);
        bool read = attributes != INVALID_FILE_ATTRIBUTES;
        bool relative = false;
        target[0] = '\0';
        if (read && (attributes & kReparsePointAttribute) != 0) {
            read = ReadLinkTarget(path, target, sizeof target, &relative, error);
        } else if (!read) {
            *error = GetLastError();
        }
        path[end] = saved;
        if (!read) return false;
        if (target[0] == '\0') continue;
        if (!link_target::ReplaceLink(path, end, target, relative, composed, size)) {
            *error = FailureOf(path, target, size);
            return false;
        }
        std::memcpy(path, composed, std::strlen(composed) + 1);
        *followed = true;
        return true;
    }
    return true;
}

// Backup semantics: folders open too. The link itself, not its target.
HANDLE OpenToJudge(const char* path, DWORD access, DWORD share) {
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | kOpenReparsePoint, nullptr);
}

}  // namespace

bool HasFileSecurity() { return IsNtPlatform(); }

void ReadPathSecurity(const char* path, OtherWriters writers, ObjectSecurity* security) {
    constexpr DWORD kAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
    HANDLE object = INVALID_HANDLE_VALUE;
    DWORD attributes = GetFileAttributesA(path);
    if (writers == OtherWriters::kRefused && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        // Sharing applies to opens that touch the data alone: reading it is
        // what makes a writer's handle refuse this one.
        // A sharing violation: another program holds it open for writing,
        // or shares nothing, which can't be told from a writer.
        object = OpenToJudge(path, kAccess | FILE_READ_DATA, kShareWithoutWriters);
        if (object == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
            *security = ObjectSecurity{};
            security->readError = ERROR_SHARING_VIOLATION;
            return;
        }
    }
    // One that may not read its data is judged as anyone, by its security.
    if (object == INVALID_HANDLE_VALUE) object = OpenToJudge(path, kAccess, kShareAll);
    if (object == INVALID_HANDLE_VALUE) {
        *security = ObjectSecurity{};
        security->readError = GetLastError();
        return;
    }
    ReadHandleSecurity(object, security);
    CloseHandle(object);
}

bool ReadCheckedFile(const char* path, OtherWriters writers, ObjectSecurity* security, char* buffer,
                     size_t size, size_t* length, uint32_t* error) {
    *length = 0;
    DWORD share = writers == OtherWriters::kRefused ? kShareWithoutWriters : kShareAll;
    HANDLE file = CreateFileA(path, GENERIC_READ | READ_CONTROL, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | kOpenReparsePoint, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    ReadHandleSecurity(file, security);
    // A file whose security can't be read is not read either.
    bool read = security->readError != 0 || ReadToEnd(file, buffer, size, length, error);
    CloseHandle(file);
    return read;
}

bool ReadRealPath(const char* path, char* real, size_t size, bool* onNetwork, uint32_t* error) {
    *onNetwork = false;
    auto getFinalPath = FindKernelFunction<GetFinalPathFunction>("GetFinalPathNameByHandleA");
    bool found = getFinalPath != nullptr && ReadFinalPath(getFinalPath, path, real, size, error);
    if (!found) {
        // Before Vista, or a file system that can't name its files: by hand.
        int length = std::snprintf(real, size, "%s", path);
        if (length < 0 || static_cast<size_t>(length) >= size) {
            *error = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        DropExtendedPrefix(real);
        for (int followed = 0; !found; ++followed) {
            if (followed > kMaxLinksFollowed) {
                *error = ERROR_CANT_RESOLVE_FILENAME;
                return false;
            }
            bool more = false;
            if (!FollowOne(real, size, &more, error)) return false;
            found = !more;
        }
    }
    // "\\server\share", "\\?\GLOBALROOT\Device\Mup\...", or a mapped drive.
    if (real[0] == '\\' && real[1] == '\\') {
        bool own = (real[2] == '?' || real[2] == '.') && real[3] == '\\';
        *onNetwork = !own || StartsWithNoCase(real + 4, "GLOBALROOT\\Device\\Mup");
    } else if (real[0] != '\0' && real[1] == ':') {
        const char root[4] = {real[0], ':', '\\', '\0'};
        *onNetwork = GetDriveTypeA(root) == DRIVE_REMOTE;
    }
    return true;
}

bool ReadRunnerAccount(SecurityId* sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + kSecurityIdBytes];
    DWORD needed = 0;
    bool read = GetTokenInformation(token, TokenUser, user, sizeof user, &needed) != 0;
    CloseHandle(token);
    if (!read) return false;
    CopySecurityId(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, sid);
    return sid->length != 0;
}

void DescribeAccount(const SecurityId& sid, char* name, size_t size) {
    name[0] = '\0';
    if (sid.length == 0) return;
    char account[256];
    char domain[256];
    DWORD accountLength = sizeof account;
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use;
    PSID raw = const_cast<uint8_t*>(sid.bytes);
    if (!LookupAccountSidA(nullptr, raw, account, &accountLength, domain, &domainLength, &use)) {
        return;
    }
    if (domain[0] == '\0') {
        std::snprintf(name, size, "%s", account);
    } else {
        std::snprintf(name, size, "%s\\%s", domain, account);
    }
}

bool IsMachineSwitchOn(const char* keyName, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD length = sizeof value;
    LONG result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &length);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD && length == sizeof value && value == 1;
}

bool HasIcacls() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwMajorVersion >= kFirstVistaMajorVersion;
}
