#include "jobs/config/config.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "jobs/config/config_file.h"
#include "jobs/config/config_text.h"
#include "jobs/program_folder.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

constexpr char kSpace = ' ';
// An older runner's interval ends here too, so a line with a limit still
// reads as its interval there.
constexpr char kLimitSeparator = '/';

// The most of the file that is read: far more than 1024 lines of 255
// characters, even in UTF-16. The rest is not read, as at start lines past
// the one that fills the table are not.
constexpr size_t kMaxConfigBytes = 1024 * 1024;

char ConfigBytes[kMaxConfigBytes];

bool IsMissing(uint32_t error) {
    return error == kErrorFileNotFound || error == kErrorPathNotFound;
}

// Reads the configuration into ConfigBytes, trying again while another
// program holds it. The platform's error when it can't.
uint32_t ReadConfigFile(size_t* length) {
    uint32_t waited = 0;
    for (;;) {
        uint32_t error = 0;
        bool unsafe = false;
        if (ReadJudgedConfig(ConfigBytes, sizeof ConfigBytes, length, &error, &unsafe)) return 0;
        if (error != kErrorSharingViolation || waited >= kSaveWaitMilliseconds) return error;
        SleepMilliseconds(kSaveWaitStepMilliseconds);
        waited += kSaveWaitStepMilliseconds;
    }
}

void CountFormatError(FormatErrors* errors, int32_t line) {
    if (errors->count < kListedFormatErrors) errors->lines[errors->count] = line;
    ++errors->count;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsAtoiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsBlank(const char* line) {
    for (; *line != '\0'; ++line) {
        if (!IsAtoiSpace(*line)) return false;
    }
    return true;
}

// At start a blank line is a format error, and the reading ends once the
// table is full. A new version carries no job on a blank line, and is read
// to its end, for the jobs past the limit and the format errors further down.
enum class LineRule { kAtStart, kNewVersion };

ConfigEncoding ParseLines(const char* bytes, size_t length, LineRule rule, JobVersion* version) {
    version->count = 0;
    version->tooManyJobs = false;
    version->jobsPastTheLimit = 0;
    version->formatErrors = FormatErrors{};
    ConfigText text;
    OpenConfigText(&text, bytes, length);
    char line[kTextSize];
    char intervalText[kTextSize];
    char commandText[kTextSize];
    ConfigPiece piece;
    while (!(rule == LineRule::kAtStart && version->count == kMaxJobs) &&
           ReadConfigPiece(&text, line, sizeof line, &piece)) {
        TrimLineEnd(line);
        if (rule == LineRule::kNewVersion && !piece.lostCharacter && IsBlank(line)) continue;
        // Run nothing whose name or arguments lost a character on the way.
        int32_t interval = 0;
        int32_t limit = 0;
        if (piece.lostCharacter || ParseConfigLine(line, intervalText, commandText) != 0 ||
            !ParseIntervalField(intervalText, &interval, &limit)) {
            CountFormatError(&version->formatErrors, piece.line);
            continue;
        }
        if (version->count == kMaxJobs) {
            version->tooManyJobs = true;
            ++version->jobsPastTheLimit;
            continue;
        }
        VersionJob& job = version->jobs[version->count++];
        job.line = piece.line;
        job.interval = interval;
        job.limit = limit;
        std::memcpy(job.command, commandText, kTextSize);
    }
    return text.encoding;
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

bool ParseIntervalField(const char* text, int32_t* interval, int32_t* limitSeconds) {
    char field[kTextSize];
    size_t length = 0;
    for (; *text != '\0' && length + 1 < sizeof field; ++text) {
        if (*text != kSpace) field[length++] = *text;
    }
    field[length] = '\0';

    char* slash = std::strchr(field, kLimitSeparator);
    int32_t limit = 0;
    if (slash != nullptr) {
        *slash = '\0';
        const char* digits = slash + 1;
        if (*digits == '\0') return false;
        int64_t value = 0;
        for (; *digits != '\0'; ++digits) {
            if (*digits < '0' || *digits > '9') return false;
            value = value * 10 + (*digits - '0');
            if (value > INT32_MAX) return false;
        }
        if (value == 0) return false;
        limit = static_cast<int32_t>(value);
    }
    *interval = ParseInterval(field);
    *limitSeconds = limit;
    return true;
}

void FormatIntervalField(int32_t interval, int32_t limitSeconds, char* text, size_t size) {
    if (limitSeconds > 0) {
        std::snprintf(text, size, "%ld%c%ld", static_cast<long>(interval), kLimitSeparator,
                      static_cast<long>(limitSeconds));
    } else {
        std::snprintf(text, size, "%ld", static_cast<long>(interval));
    }
}

int32_t LoadJobTable(ConfigLoad* load, JobVersion* jobs) {
    jobs->count = 0;
    jobs->tooManyJobs = false;
    jobs->jobsPastTheLimit = 0;
    jobs->formatErrors = FormatErrors{};
    load->count = 0;
    load->fileFound = false;
    load->readError = 0;
    load->encoding = ConfigEncoding::kAnsi;
    load->formatErrors = FormatErrors{};
    load->configHash = 0;

    char programFolder[kTextSize];
    if (!ReadProgramFolder(programFolder, sizeof programFolder)) {
        RaiseWarning(WarningEvent::kConfigNotFound, texts::kConfigNotFound);
        return 0;
    }
    EnterProgramFolder(programFolder);

    size_t length = 0;
    uint32_t error = ReadConfigFile(&length);
    if (error != 0) {
        // A file that exists but can't be read warns as a missing one does,
        // but keeps its cause.
        load->fileFound = !IsMissing(error);
        if (load->fileFound) load->readError = error;
        RaiseWarning(WarningEvent::kConfigNotFound, texts::kConfigNotFound);
        return 0;
    }
    load->fileFound = true;
    load->configHash = HashConfigBytes(ConfigBytes, length);

    load->encoding = ParseLines(ConfigBytes, length, LineRule::kAtStart, jobs);
    load->count = jobs->count;
    load->formatErrors = jobs->formatErrors;
    if (load->formatErrors.count > 0) RaiseFormatWarnings(load->formatErrors);
    return load->count;
}

bool ReadConfigOnce(const char** bytes, size_t* length, uint32_t* error) {
    *bytes = ConfigBytes;
    *length = 0;
    return ReadConfigVersion(ConfigBytes, sizeof ConfigBytes, length, error);
}

void ParseJobVersion(const char* bytes, size_t length, JobVersion* version) {
    ParseLines(bytes, length, LineRule::kNewVersion, version);
}
