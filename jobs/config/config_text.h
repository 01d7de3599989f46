// The configuration file's bytes as lines of ANSI text, read as Windows'
// text mode reads an ANSI file, whatever encoding the file was saved in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobs/job_types.h"

// A character's ANSI form: one byte, two in the double-byte code pages, up
// to four where the ANSI code page is UTF-8.
constexpr size_t kMaxAnsiForm = 4;

// Where the reading stands in the bytes. Copied whole to look ahead.
struct ConfigText {
    const unsigned char* bytes;
    size_t size;
    size_t next;  // the first byte not yet decoded
    ConfigEncoding encoding;
    char form[kMaxAnsiForm];  // the ANSI bytes of the character being handed out...
    size_t formLength;
    size_t formNext;  // ...and the next of them
    int32_t line;     // the file's line, as an editor numbers it, of the next byte
    bool ended;       // Ctrl+Z has ended the text
};

// One piece of a line: at most 255 bytes, its line feed included.
struct ConfigPiece {
    int32_t line;        // the pieces of an over-long line share its number
    bool lostCharacter;  // a character here has no ANSI form and reads as '?'
};

// Starts reading size bytes, which must outlive text. Takes the encoding
// from the byte-order mark, else UTF-8 when the text is UTF-8 and holds a
// character beyond ASCII, else ANSI.
void OpenConfigText(ConfigText* text, const char* bytes, size_t size);

// Reads the next piece into line (size bytes, zero-terminated): CR LF reads
// as LF, Ctrl+Z ends the text, and a line longer than size-1 bytes goes on
// in the next piece. False at the end of the text.
bool ReadConfigPiece(ConfigText* text, char* line, size_t size, ConfigPiece* piece);
