#include <windows.h>

#include <cstdio>
#include <cstring>

#include "jobs/texts.h"
#include "platform/security.h"
#include "platform/system.h"
#include "platform/win32/read_to_end.h"

namespace {

constexpr DWORD kFirstVistaMajorVersion = 6;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
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

}  // namespace

bool HasFileSecurity() { return IsNtPlatform(); }

void ReadPathSecurity(const char* path, ObjectSecurity* security) {
    // Backup semantics: folders open too. The link itself, not its target.
    HANDLE object = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | kOpenReparsePoint,
                                nullptr);
    if (object == INVALID_HANDLE_VALUE) {
        *security = ObjectSecurity{};
        security->readError = GetLastError();
        return;
    }
    ReadHandleSecurity(object, security);
    CloseHandle(object);
}

bool ReadCheckedFile(const char* path, ObjectSecurity* security, char* buffer, size_t size,
                     size_t* length, uint32_t* error) {
    *length = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ | READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
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

bool IsUnsafePermissionsAllowed() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, texts::kParametersKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD length = sizeof value;
    LONG result = RegQueryValueExA(key, texts::kAllowUnsafePermissionsValue, nullptr, &type,
                                   reinterpret_cast<BYTE*>(&value), &length);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD && length == sizeof value && value == 1;
}

bool HasIcacls() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwMajorVersion >= kFirstVistaMajorVersion;
}
