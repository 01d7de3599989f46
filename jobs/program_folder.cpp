#include "jobs/program_folder.h"

#include <cstdio>
#include <cstring>

#include "jobs/journal.h"
#include "jobs/warnings.h"
#include "platform/files.h"
#include "platform/system.h"

bool ComposeConfigPath(const char* executablePath, char* path, size_t size) {
    const char* lastBackslash = std::strrchr(executablePath, '\\');
    if (lastBackslash == nullptr) return false;
    int folderLength = static_cast<int>(lastBackslash - executablePath) + 1;
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
