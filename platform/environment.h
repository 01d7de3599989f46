// The process environment, which new children inherit.
#pragma once

#include <cstddef>

// Copies the variable's value into buffer (size bytes) and returns its
// length. 0: missing or empty. A result >= size means it did not fit and
// the buffer holds nothing usable.
size_t ReadEnvironmentVariable(const char* name, char* buffer, size_t size);

// Sets the variable for this process and the children it creates from now on.
bool WriteEnvironmentVariable(const char* name, const char* value);

// Copies the whole environment as a block: "NAME=value" texts, each ended by
// a zero byte, and one more zero byte after the last. Returns the block's
// length with that last zero; 0 when it does not fit size bytes.
size_t ReadEnvironmentBlock(char* buffer, size_t size);
