// The ANSI code page, in which the runner reads and runs everything.
#pragma once

#include <cstddef>
#include <cstdint>

// Converts one character, given as its UTF-16 code units (one, or a
// surrogate pair), to the ANSI code page, exactly: never a look-alike
// (a full-width backslash must not become a backslash). Returns the count
// of bytes written to ansi; 0 when the character has no ANSI form or its
// form does not fit in size bytes.
size_t ConvertToAnsi(const uint16_t* units, size_t count, char* ansi, size_t size);

// Converts an ANSI text to UTF-8, always ending it with a zero byte; what
// doesn't fit in size bytes is cut at a character's boundary. Returns the
// length written.
size_t ConvertAnsiToUtf8(const char* ansi, char* utf8, size_t size);

// Converts an ANSI text to UTF-16, without its zero, into at most size
// units. Returns the count of units written; 0 when it is empty, doesn't
// fit or can't be converted.
size_t ConvertAnsiToUtf16(const char* ansi, uint16_t* units, size_t size);
