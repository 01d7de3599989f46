// The process environment, which new children inherit.
#pragma once

#include <cstddef>

// Copies the variable's value into buffer (size bytes) and returns its
// length. 0: missing or empty. A result >= size means it did not fit and
// the buffer holds nothing usable.
size_t ReadEnvironmentVariable(const char* name, char* buffer, size_t size);

// Sets the variable for this process and the children it creates from now on.
bool WriteEnvironmentVariable(const char* name, const char* value);
