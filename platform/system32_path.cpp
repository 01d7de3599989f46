#include "platform/system32_path.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace system32_path {
namespace {

char Folded(char c) {
    if (c == '/') return '\\';
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c;
}

// Length of the prefix "<windowsDir>\system32\" in program, or 0.
size_t System32PrefixLength(const char* program, const char* windowsDir) {
    size_t dirLength = std::strlen(windowsDir);
    while (dirLength > 0 && Folded(windowsDir[dirLength - 1]) == '\\') --dirLength;
    if (dirLength == 0) return 0;
    for (size_t i = 0; i < dirLength; ++i) {
        if (program[i] == '\0' || Folded(program[i]) != Folded(windowsDir[i])) return 0;
    }
    const char kFolder[] = "\\system32\\";
    const size_t folderLength = sizeof kFolder - 1;
    for (size_t i = 0; i < folderLength; ++i) {
        char c = program[dirLength + i];
        if (c == '\0' || Folded(c) != kFolder[i]) return 0;
    }
    return dirLength + folderLength;
}

}  // namespace

bool IsUnderSystem32(const char* program, const char* windowsDir) {
    return System32PrefixLength(program, windowsDir) != 0;
}

bool RewriteToSysnative(const char* program, const char* windowsDir, char* out, size_t outSize) {
    size_t prefix = System32PrefixLength(program, windowsDir);
    if (prefix == 0) return false;
    size_t dirLength = prefix - std::strlen("\\system32\\");
    int written = std::snprintf(out, outSize, "%.*s\\Sysnative\\%s", static_cast<int>(dirLength),
                                program, program + prefix);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

bool IsMissingFromRealSystem32(Route route, const char* program, const char* windowsDir,
                               uint32_t error) {
    return route != Route::kAsWritten && error == kErrorFileNotFound &&
           IsUnderSystem32(program, windowsDir);
}

}  // namespace system32_path
