#include "jobs/config.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

constexpr char kSpace = ' ';
constexpr int kCtrlZ = 0x1A;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsAtoiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// --- The text of the file, as ANSI characters -------------------------
//
// Windows writes configuration files in several encodings: ANSI (the
// specified form), UTF-8 with or without a byte-order mark, and UTF-16LE
// with a mark (PowerShell 5.1's ">"). Text in UTF-8 or UTF-16 is converted
// to the ANSI code page one character at a time, so that everything after
// it reads an ANSI file whatever the file was.

enum class Encoding { kAnsi, kUtf8, kUtf16 };

constexpr int32_t kInvalid = -1;  // a byte sequence that is no character
constexpr int32_t kEnd = -2;
constexpr uint16_t kHighSurrogateFirst = 0xD800;
constexpr uint16_t kLowSurrogateFirst = 0xDC00;
constexpr uint16_t kLowSurrogateLast = 0xDFFF;
// A character's ANSI form: one byte, two in the double-byte code pages, up
// to four where the ANSI code page is UTF-8.
constexpr size_t kMaxAnsiForm = 4;

struct ConfigText {
    std::FILE* file;
    Encoding encoding;
    char form[kMaxAnsiForm];  // the current character's ANSI bytes...
    size_t formLength;
    size_t formNext;          // ...and the next of them to hand out
    int pushedBack;           // EOF: none
    bool ended;               // Ctrl+Z has ended the text
    bool unconvertible;       // the current line holds a character with no ANSI form
};

// One character of UTF-8, strictly: no overlong forms, no surrogates,
// nothing past U+10FFFF. An invalid sequence yields kInvalid, having
// consumed its bytes up to the first one that does not belong.
int32_t ReadUtf8(std::FILE* file) {
    int lead = std::fgetc(file);
    if (lead == EOF) return kEnd;
    if (lead < 0x80) return lead;
    // By its lead byte: how many bytes follow, its bits, the least code
    // point that needs that many.
    struct Form {
        int trailing;
        int32_t bits;
        int32_t lowest;
    };
    Form form;
    if (lead >= 0xC2 && lead <= 0xDF) {
        form = Form{1, lead & 0x1F, 0x80};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        form = Form{2, lead & 0x0F, 0x800};
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        form = Form{3, lead & 0x07, 0x10000};
    } else {
        return kInvalid;
    }
    int32_t codePoint = form.bits;
    for (int i = 0; i < form.trailing; ++i) {
        int next = std::fgetc(file);
        if (next == EOF || (next & 0xC0) != 0x80) {
            if (next != EOF) std::ungetc(next, file);
            return kInvalid;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    bool surrogate = codePoint >= kHighSurrogateFirst && codePoint <= kLowSurrogateLast;
    if (codePoint < form.lowest || codePoint > 0x10FFFF || surrogate) return kInvalid;
    return codePoint;
}

// One UTF-16LE code unit; kInvalid for a lone last byte.
int32_t ReadUtf16Unit(std::FILE* file) {
    int low = std::fgetc(file);
    if (low == EOF) return kEnd;
    int high = std::fgetc(file);
    if (high == EOF) return kInvalid;
    return low | (high << 8);
}

// True when the rest of the file, up to a Ctrl+Z, is UTF-8 and holds at
// least one character outside ASCII.
bool IsUtf8BeyondAscii(std::FILE* file) {
    bool beyondAscii = false;
    for (;;) {
        int32_t c = ReadUtf8(file);
        if (c == kEnd || c == kCtrlZ) return beyondAscii;
        if (c == kInvalid) return false;
        if (c >= 0x80) beyondAscii = true;
    }
}

// Reads the byte-order mark, if any, and leaves the file where the text begins.
Encoding DetectEncoding(std::FILE* file) {
    unsigned char head[3] = {};
    size_t read = std::fread(head, 1, sizeof head, file);
    if (read == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) return Encoding::kUtf8;
    if (read >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
        std::fseek(file, 2, SEEK_SET);
        return Encoding::kUtf16;
    }
    std::fseek(file, 0, SEEK_SET);
    Encoding found = IsUtf8BeyondAscii(file) ? Encoding::kUtf8 : Encoding::kAnsi;
    std::fseek(file, 0, SEEK_SET);
    return found;
}

// The next character as UTF-16 code units; 0 units at the end of the file.
// An invalid sequence or a lone surrogate gives one unit of kInvalid.
size_t ReadCharacter(ConfigText* text, int32_t units[2]) {
    if (text->encoding == Encoding::kUtf8) {
        int32_t c = ReadUtf8(text->file);
        if (c == kEnd) return 0;
        if (c < 0x10000) {
            units[0] = c;
            return 1;
        }
        units[0] = kHighSurrogateFirst + ((c - 0x10000) >> 10);
        units[1] = kLowSurrogateFirst + ((c - 0x10000) & 0x3FF);
        return 2;
    }
    int32_t unit = ReadUtf16Unit(text->file);
    if (unit == kEnd) return 0;
    units[0] = unit;
    if (unit < kHighSurrogateFirst || unit > kLowSurrogateLast) return 1;
    if (unit >= kLowSurrogateFirst) {
        units[0] = kInvalid;  // a low surrogate with no high one before it
        return 1;
    }
    long afterHigh = std::ftell(text->file);
    int32_t low = ReadUtf16Unit(text->file);
    if (low >= kLowSurrogateFirst && low <= kLowSurrogateLast) {
        units[1] = low;
        return 2;
    }
    // A high surrogate alone: what follows it is a character of its own.
    std::fseek(text->file, afterHigh, SEEK_SET);
    units[0] = kInvalid;
    return 1;
}

// The next byte of the text in the ANSI code page, or EOF. A character with
// no ANSI form reads as '?' and marks its line, which is then not run.
int NextAnsiByte(ConfigText* text) {
    if (text->pushedBack != EOF) {
        int c = text->pushedBack;
        text->pushedBack = EOF;
        return c;
    }
    if (text->formNext < text->formLength) {
        return static_cast<unsigned char>(text->form[text->formNext++]);
    }
    if (text->encoding == Encoding::kAnsi) return std::fgetc(text->file);

    int32_t units[2] = {0, 0};
    size_t count = ReadCharacter(text, units);
    if (count == 0) return EOF;
    if (count == 1 && units[0] >= 0 && units[0] < 0x80) return units[0];
    uint16_t wide[2] = {static_cast<uint16_t>(units[0]), static_cast<uint16_t>(units[1])};
    size_t length = units[0] == kInvalid
                        ? 0
                        : ConvertToAnsi(wide, count, text->form, sizeof text->form);
    if (length == 0) {
        text->unconvertible = true;
        return '?';
    }
    text->formLength = length;
    text->formNext = 1;
    return static_cast<unsigned char>(text->form[0]);
}

// Reads one line as Windows' text mode does, whatever the platform: CR LF
// becomes LF and Ctrl+Z ends the text. At most size-1 characters, the line
// feed included. False at the end of the text.
bool ReadTextLine(ConfigText* text, char* line, size_t size) {
    text->unconvertible = false;
    size_t length = 0;
    while (!text->ended && length + 1 < size) {
        int c = NextAnsiByte(text);
        if (c == kCtrlZ) {
            text->ended = true;
            break;
        }
        if (c == EOF) break;
        if (c == '\r') {
            int next = NextAnsiByte(text);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                text->pushedBack = next;
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

    ConfigText text = {};
    text.file = file;
    text.encoding = DetectEncoding(file);
    text.pushedBack = EOF;

    char line[kTextSize];
    char intervalText[kTextSize];
    char commandText[kTextSize];
    int32_t lineNumber = 1;
    bool lineEnded = false;
    while (table->count < kMaxJobs && ReadTextLine(&text, line, sizeof line)) {
        if (lineEnded) ++lineNumber;
        size_t length = std::strlen(line);
        lineEnded = length > 0 && line[length - 1] == '\n';
        TrimLineEnd(line);
        // Run nothing whose name or arguments lost a character on the way.
        if (text.unconvertible || ParseConfigLine(line, intervalText, commandText) != 0) {
            RaiseWarning(WarningEvent::kConfigFormatError, texts::kConfigFormatError);
            continue;
        }
        JobEntry& row = table->rows[table->count];
        row.interval = ParseInterval(intervalText);
        row.ElapsedCounter = 0;
        row.startPending = false;
        std::memcpy(JobCommand[table->count], commandText, kTextSize);
        JobLine[table->count] = lineNumber;
        ++table->count;
    }
    std::fclose(file);
    return table->count;
}
