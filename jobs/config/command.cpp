#include "jobs/config/command.h"

#include <cstdio>
#include <cstring>

#include "jobs/job_types.h"

namespace {

const char* FindSplitPoint(const char* text) {
    const char* space = std::strchr(text, ' ');
    while (space != nullptr && std::strchr(space, '\\') != nullptr) {
        space = std::strchr(space + 1, ' ');
    }
    return space;
}

}  // namespace

int SplitCommand(const char* commandText, char* programPath, char* commandLine) {
    char text[kTextSize];
    std::snprintf(text, sizeof text, "%s", commandText);

    const char* splitPoint = FindSplitPoint(text);
    size_t pathLength = splitPoint ? static_cast<size_t>(splitPoint - text) : std::strlen(text);
    std::memcpy(programPath, text, pathLength);
    programPath[pathLength] = '\0';

    const char* lastBackslash = std::strrchr(programPath, '\\');
    const char* fileName = lastBackslash ? lastBackslash + 1 : programPath;
    size_t lineLength = std::strlen(fileName);
    std::memmove(commandLine, fileName, lineLength);
    commandLine[lineLength] = '\0';
    if (splitPoint == nullptr) return 0;

    commandLine[lineLength++] = ' ';
    bool spaceOwed = false;
    for (const char* c = splitPoint + 1; *c != '\0'; ++c) {
        if (*c == ' ') {
            spaceOwed = true;
            continue;
        }
        if (spaceOwed && commandLine[lineLength - 1] != ' ') commandLine[lineLength++] = ' ';
        spaceOwed = false;
        commandLine[lineLength++] = *c;
    }
    if (spaceOwed && commandLine[lineLength - 1] != ' ') commandLine[lineLength++] = ' ';
    commandLine[lineLength] = '\0';
    return 0;
}
