// The body of a test block: the chain of words 1 to 16,383 that grows from
// one random number. Two ways to compute it, which must agree to the bit.
#pragma once

#include <cstdint>

namespace pattern {

// Word 1 = first, each further word the previous one times 17 plus 1 modulo
// 2^32, stored little-endian. Word 0 is the caller's to set afterwards.
void chainplain(unsigned char* block, std::uint32_t first);

// The same words, computed in SIMD lanes where this processor has them.
void chainfast(unsigned char* block, std::uint32_t first);

// Whether words 1 to 16,383 of block hold the chain from first: what
// chainfast would store there, compared without being made.
bool holdschain(const unsigned char* block, std::uint32_t first);

} // namespace pattern
