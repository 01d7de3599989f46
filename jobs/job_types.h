// The types that the reading, the engine and the reporting all speak: a
// job as the configuration gives it, and what a load of the file found.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t kMaxJobs = 1024;
// Paths, configuration lines and commands: at most 255 characters and a zero byte.
constexpr size_t kTextSize = 256;

// How the configuration file was written.
enum class ConfigEncoding { kAnsi, kUtf8, kUtf16 };

// The lines of one load that raised a format warning: how many, and the
// first of them.
constexpr int32_t kListedFormatErrors = 20;
struct FormatErrors {
    int32_t count;
    int32_t lines[kListedFormatErrors];
};

// One job of the configuration.
struct VersionJob {
    int32_t line;  // as an editor numbers it
    int32_t interval;
    int32_t limit;  // seconds a run may last; 0: no limit
    char command[kTextSize];
};

// The jobs of one reading of the file, in the order of their lines.
struct JobVersion {
    int32_t count;
    VersionJob jobs[kMaxJobs];
    bool tooManyJobs;          // job lines past the last row
    int32_t jobsPastTheLimit;  // ...and how many
    FormatErrors formatErrors;
};

// What the load at start found of the file itself.
struct ConfigLoad {
    int32_t count;       // jobs loaded
    bool fileFound;      // the configuration file exists
    uint32_t readError;  // the platform's error when it exists but could not be read; 0 else
    ConfigEncoding encoding;
    FormatErrors formatErrors;
    uint64_t configHash;  // of the bytes read
};
