// Text composed in a fixed buffer.
#pragma once

#include <cstddef>

// Appends to text at *at, never past size: the text stays terminated, and
// *at stops at its end however much was asked for.
void AppendFormat(char* text, size_t size, size_t* at, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
