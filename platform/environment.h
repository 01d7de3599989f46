// The process environment, which each child's own block is made from.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies the whole environment as a block of UTF-16 units, as Windows keeps
// it: "NAME=value" texts, each ended by a zero, and one more zero after the
// last. Returns the block's length in units with that last zero; 0 when it
// does not fit size units.
size_t ReadEnvironmentBlock(uint16_t* buffer, size_t size);
