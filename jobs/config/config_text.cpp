#include "jobs/config/config_text.h"

#include "platform/text.h"

// Windows writes configuration files in several encodings: ANSI, UTF-8 with
// or without a byte-order mark, and UTF-16LE with a mark (PowerShell 5.1's
// ">"). Text in UTF-8 or UTF-16 is converted to the ANSI code page one
// character at a time, so that the lines read as the same text saved in ANSI
// would.

namespace {

constexpr int32_t kInvalid = -1;  // a byte sequence that is no character
constexpr int32_t kEnd = -2;
constexpr int kCtrlZ = 0x1A;
constexpr char kLostCharacter = '?';
constexpr uint16_t kHighSurrogateFirst = 0xD800;
constexpr uint16_t kLowSurrogateFirst = 0xDC00;
constexpr uint16_t kLowSurrogateLast = 0xDFFF;

int NextRawByte(ConfigText* text) {
    if (text->next >= text->size) return kEnd;
    return text->bytes[text->next++];
}

// One character of UTF-8, strictly: no overlong forms, no surrogates,
// nothing past U+10FFFF. An invalid sequence yields kInvalid, having
// consumed its bytes up to the first one that does not belong.
int32_t ReadUtf8(ConfigText* text) {
    int lead = NextRawByte(text);
    if (lead == kEnd) return kEnd;
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
        if (text->next >= text->size || (text->bytes[text->next] & 0xC0) != 0x80) return kInvalid;
        codePoint = (codePoint << 6) | (text->bytes[text->next++] & 0x3F);
    }
    bool surrogate = codePoint >= kHighSurrogateFirst && codePoint <= kLowSurrogateLast;
    if (codePoint < form.lowest || codePoint > 0x10FFFF || surrogate) return kInvalid;
    return codePoint;
}

// One UTF-16LE code unit; kInvalid for a lone last byte.
int32_t ReadUtf16Unit(ConfigText* text) {
    int low = NextRawByte(text);
    if (low == kEnd) return kEnd;
    int high = NextRawByte(text);
    if (high == kEnd) return kInvalid;
    return low | (high << 8);
}

// True when the text, up to a Ctrl+Z, is UTF-8 and holds at least one
// character beyond ASCII. Leaves text where it began.
bool IsUtf8BeyondAscii(ConfigText* text) {
    size_t start = text->next;
    bool beyondAscii = false;
    for (;;) {
        int32_t c = ReadUtf8(text);
        if (c == kEnd || c == kCtrlZ) break;
        if (c == kInvalid) {
            beyondAscii = false;
            break;
        }
        if (c >= 0x80) beyondAscii = true;
    }
    text->next = start;
    return beyondAscii;
}

// The next character as UTF-16 code units; 0 units at the end of the text.
// An invalid sequence or a lone surrogate gives one unit of kInvalid.
size_t ReadCharacter(ConfigText* text, int32_t units[2]) {
    if (text->encoding == ConfigEncoding::kUtf8) {
        int32_t c = ReadUtf8(text);
        if (c == kEnd) return 0;
        if (c < 0x10000) {
            units[0] = c;
            return 1;
        }
        units[0] = kHighSurrogateFirst + ((c - 0x10000) >> 10);
        units[1] = kLowSurrogateFirst + ((c - 0x10000) & 0x3FF);
        return 2;
    }
    int32_t unit = ReadUtf16Unit(text);
    if (unit == kEnd) return 0;
    units[0] = unit;
    if (unit < kHighSurrogateFirst || unit > kLowSurrogateLast) return 1;
    if (unit >= kLowSurrogateFirst) {
        units[0] = kInvalid;  // a low surrogate with no high one before it
        return 1;
    }
    size_t afterHigh = text->next;
    int32_t low = ReadUtf16Unit(text);
    if (low >= kLowSurrogateFirst && low <= kLowSurrogateLast) {
        units[1] = low;
        return 2;
    }
    // A high surrogate alone: what follows it is a character of its own.
    text->next = afterHigh;
    units[0] = kInvalid;
    return 1;
}

// The next byte of the text in the ANSI code page, or kEnd. A character
// with no ANSI form reads as '?' and sets lost.
int NextAnsiByte(ConfigText* text, bool* lost) {
    if (text->formNext < text->formLength) {
        return static_cast<unsigned char>(text->form[text->formNext++]);
    }
    if (text->encoding == ConfigEncoding::kAnsi) return NextRawByte(text);

    int32_t units[2] = {0, 0};
    size_t count = ReadCharacter(text, units);
    if (count == 0) return kEnd;
    if (count == 1 && units[0] >= 0 && units[0] < 0x80) return units[0];
    uint16_t wide[2] = {static_cast<uint16_t>(units[0]), static_cast<uint16_t>(units[1])};
    size_t length =
        units[0] == kInvalid ? 0 : ConvertToAnsi(wide, count, text->form, sizeof text->form);
    if (length == 0) {
        *lost = true;
        return kLostCharacter;
    }
    text->formLength = length;
    text->formNext = 1;
    return static_cast<unsigned char>(text->form[0]);
}

}  // namespace

void OpenConfigText(ConfigText* text, const char* bytes, size_t size) {
    *text = ConfigText{};
    text->bytes = reinterpret_cast<const unsigned char*>(bytes);
    text->size = size;
    text->line = 1;
    const unsigned char* b = text->bytes;
    if (size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        text->encoding = ConfigEncoding::kUtf8;
        text->next = 3;
    } else if (size >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        text->encoding = ConfigEncoding::kUtf16;
        text->next = 2;
    } else {
        text->encoding = IsUtf8BeyondAscii(text) ? ConfigEncoding::kUtf8 : ConfigEncoding::kAnsi;
    }
}

bool ReadConfigPiece(ConfigText* text, char* line, size_t size, ConfigPiece* piece) {
    piece->line = text->line;
    piece->lostCharacter = false;
    size_t length = 0;
    while (!text->ended && length + 1 < size) {
        bool lost = false;
        int c = NextAnsiByte(text, &lost);
        if (c == kCtrlZ) {
            text->ended = true;
            break;
        }
        if (c == kEnd) break;
        if (c == '\r') {
            // Look ahead on a copy: a character that is not the line feed
            // stays unread, and its mark with it.
            ConfigText ahead = *text;
            bool aheadLost = false;
            if (NextAnsiByte(&ahead, &aheadLost) == '\n') {
                *text = ahead;
                c = '\n';
            }
        }
        piece->lostCharacter = piece->lostCharacter || lost;
        line[length++] = static_cast<char>(c);
        if (c == '\n') {
            ++text->line;
            break;
        }
    }
    line[length] = '\0';
    return length > 0;
}
