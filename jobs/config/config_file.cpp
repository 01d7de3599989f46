#include "jobs/config/config_file.h"

#include <cstdio>

#include "jobs/config/verdict.h"
#include "jobs/program_folder.h"
#include "jobs/report/journal.h"
#include "jobs/report/warnings.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/system.h"

namespace {

// Used by the load at start, then by the configuration's reader alone: the
// last bytes read from a configuration that passed, the last version
// rejected for failing, told once, the security read, and the report of
// that refusal.
uint64_t LastSafeHash = 0;
bool HasUnsafeHash = false;
uint64_t LastUnsafeHash = 0;
ObjectSecurity Security;
char ConfigReport[kReportBytes];

}  // namespace

bool ComposeConfigPath(const char* executablePath, char* path, size_t size) {
    int folderLength = static_cast<int>(FolderLength(executablePath));
    if (folderLength == 0) return false;
    int written =
        std::snprintf(path, size, "%.*s%s", folderLength, executablePath, texts::kConfigFileName);
    return written >= 0 && static_cast<size_t>(written) < size;
}

bool ConfigFilePath(char* path, size_t size) {
    char executable[kTextSize];
    return GetExecutablePath(executable, sizeof executable) &&
           ComposeConfigPath(executable, path, size);
}

void EnterProgramFolder(const char* folder) {
    uint32_t error = 0;
    if (ChangeDirectory(folder, &error)) return;
    char message[kTextSize];
    DescribeSystemError(error, message, sizeof message);
    char text[2 * kTextSize + sizeof texts::kFolderNotCurrentFormat];
    std::snprintf(text, sizeof text, texts::kFolderNotCurrentFormat, folder,
                  static_cast<unsigned long>(error), message);
    JournalRunnerNote(text);
    RaiseRunnerNotice(WarningEvent::kFolderNotCurrent, text);
}

uint64_t HashConfigBytes(const char* bytes, size_t length) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool IsUnsafePermissionsAllowed() {
    return IsMachineSwitchOn(texts::kParametersKey, texts::kAllowUnsafePermissionsValue);
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
