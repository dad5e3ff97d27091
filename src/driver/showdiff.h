// The difference listing of a bad block.
#pragma once

#include <cstdint>

// Prints each 8-byte row in which expected and actual differ, as
// "%8.8x:" with base plus the row's start, the expected bytes, " |", the bytes
// read, equal bytes shown as "..". After 8 rows a further differing row only
// prints "...". A trailing piece shorter than 8 bytes is not examined.
void showdiff(const unsigned char* expected, const unsigned char* actual, std::uint32_t length,
              std::uint32_t base);
