// Feeds arbitrary bytes to the configuration reader, as the bytes of
// cycle_launch.txt, and parses every piece it reads.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jobs/config/config.h"
#include "jobs/config/config_text.h"
#include "jobs/engine/job_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ConfigText text;
    OpenConfigText(&text, reinterpret_cast<const char*>(data), size);
    char line[kTextSize];
    char intervalText[kTextSize];
    char commandText[kTextSize];
    ConfigPiece piece;
    int32_t lastLine = 1;
    size_t pieces = 0;
    while (ReadConfigPiece(&text, line, sizeof line, &piece)) {
        // Each piece takes at least one byte of the file.
        if (++pieces > size) std::abort();
        if (std::strlen(line) >= kTextSize) std::abort();
        // A NUL hides where a piece ends: its line feed can't be checked.
        if (piece.line != lastLine && piece.line != lastLine + 1) std::abort();
        lastLine = piece.line;
        TrimLineEnd(line);
        if (ParseConfigLine(line, intervalText, commandText) == 0) {
            if (std::memchr(intervalText, '\0', kTextSize) == nullptr) std::abort();
            if (std::memchr(commandText, '\0', kTextSize) == nullptr) std::abort();
            ParseInterval(intervalText);
            // A limit read is one the field can be written back with.
            int32_t interval = 0;
            int32_t limit = 0;
            bool parsed = ParseIntervalField(intervalText, &interval, &limit);
            if (!parsed && std::strchr(intervalText, '/') == nullptr) std::abort();
            if (parsed) {
                if (limit < 0) std::abort();
                char field[kTextSize];
                FormatIntervalField(interval, limit, field, sizeof field);
                int32_t again = 0;
                int32_t limitAgain = 0;
                if (!ParseIntervalField(field, &again, &limitAgain)) std::abort();
                if (again != interval || limitAgain != limit) std::abort();
            }
        }
    }
    return 0;
}
