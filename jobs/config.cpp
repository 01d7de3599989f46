#include "jobs/config.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/files.h"

namespace {

constexpr char kSpace = ' ';
constexpr int kCtrlZ = 0x1A;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsAtoiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads one line as Windows' text mode does, whatever the platform: CR LF
// becomes LF and Ctrl+Z ends the text. At most size-1 characters, the line
// feed included. False at the end of the text.
bool ReadTextLine(std::FILE* file, char* line, size_t size) {
    size_t length = 0;
    while (length + 1 < size) {
        int c = std::fgetc(file);
        if (c == kCtrlZ) {
            std::fseek(file, 0, SEEK_END);  // Ctrl+Z ends the whole text
            break;
        }
        if (c == EOF) break;
        if (c == '\r') {
            int next = std::fgetc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        line[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[length] = '\0';
    return length > 0;
}

}  // namespace

void TrimLineEnd(char* line) {
    size_t length = std::strlen(line);
    while (length > 0 && IsLineEnd(line[length - 1])) --length;
    line[length] = '\0';
}

int ParseConfigLine(const char* line, char* intervalText, char* commandText) {
    char work[kTextSize];
    std::snprintf(work, sizeof work, "%s", line);
    char* comma = std::strchr(work, ',');
    if (comma == nullptr) return 1;

    size_t written = 0;
    for (const char* c = work; c != comma; ++c) {
        if (*c != kSpace) intervalText[written++] = *c;
    }
    intervalText[written] = '\0';

    const char* command = comma + 1;
    while (*command == kSpace) ++command;
    std::snprintf(commandText, kTextSize, "%s", command);
    return 0;
}

int32_t ParseInterval(const char* text) {
    while (IsAtoiSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');

    // Accumulate towards the negative side: its range is one larger.
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 - (*text - '0');
        if (value < INT32_MIN) return negative ? INT32_MIN : INT32_MAX;
    }
    if (negative) return static_cast<int32_t>(value);
    return value < -INT32_MAX ? INT32_MAX : static_cast<int32_t>(-value);
}

int32_t LoadJobTable(JobTable* table) {
    table->count = 0;
    table->fileFound = false;

    char programDirectory[kTextSize];
    if (!GetExecutablePath(programDirectory, sizeof programDirectory)) {
        RaiseWarning(WarningEvent::kConfigNotFound, texts::kConfigNotFound);
        return 0;
    }
    char* lastBackslash = std::strrchr(programDirectory, '\\');
    if (lastBackslash != nullptr) {
        lastBackslash[1] = '\0';
        ChangeDirectory(programDirectory);
    }

    std::FILE* file = std::fopen(texts::kConfigFileName, "rb");
    if (file == nullptr) {
        RaiseWarning(WarningEvent::kConfigNotFound, texts::kConfigNotFound);
        return 0;
    }

    table->fileFound = true;

    char line[kTextSize];
    char intervalText[kTextSize];
    char commandText[kTextSize];
    while (table->count < kMaxJobs && ReadTextLine(file, line, sizeof line)) {
        TrimLineEnd(line);
        if (ParseConfigLine(line, intervalText, commandText) != 0) {
            RaiseWarning(WarningEvent::kConfigFormatError, texts::kConfigFormatError);
            continue;
        }
        JobEntry& row = table->rows[table->count];
        row.interval = ParseInterval(intervalText);
        row.ElapsedCounter = 0;
        row.startPending = false;
        std::memcpy(JobCommand[table->count], commandText, kTextSize);
        ++table->count;
    }
    std::fclose(file);
    return table->count;
}
