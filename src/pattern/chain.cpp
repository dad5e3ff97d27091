#include "pattern/chain.h"

#include "pattern/pattern.h"

#include <array>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace pattern {

void chainplain(unsigned char* block, std::uint32_t first)
{
    std::uint32_t word = first;
    for (std::size_t i = 1; i < blockwords; i++, word = word * 17 + 1) {
        unsigned char* at = block + 4 * i;
        at[0] = static_cast<unsigned char>(word);
        at[1] = static_cast<unsigned char>(word >> 8);
        at[2] = static_cast<unsigned char>(word >> 16);
        at[3] = static_cast<unsigned char>(word >> 24);
    }
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

namespace {

// Applying word -> 17 word + 1 k times is one step word -> m word + c with
// m = 17^k and c = 1 + 17 + ... + 17^(k-1), all modulo 2^32. That jump lets
// the words of a block be computed in independent lanes.
struct jump {
    std::uint32_t multiplier;
    std::uint32_t increment;
};

constexpr jump jumpby(std::size_t steps)
{
    jump result{1, 0};
    for (std::size_t i = 0; i < steps; i++)
        result = {result.multiplier * 17, result.increment * 17 + 1};
    return result;
}

constexpr std::size_t lanes = 8;
// Eight vectors in flight hide the latency of the vector multiply.
constexpr std::size_t chains = 8;
constexpr std::size_t span = lanes * chains;

using vector = std::uint32_t __attribute__((vector_size(lanes * sizeof(std::uint32_t))));
static_assert(blocksize % (chains * sizeof(vector)) == 0);

// The inverse of 17 modulo 2^32 (Newton's iteration doubles the correct bits).
constexpr std::uint32_t inverse17 = [] {
    std::uint32_t x = 17;
    for (int i = 0; i < 5; i++)
        x *= 2 - 17 * x;
    return x;
}();
static_assert(inverse17 * 17 == 1);

constexpr std::array<jump, span> firstjumps = [] {
    std::array<jump, span> jumps{};
    for (std::size_t i = 0; i < span; i++)
        jumps[i] = jumpby(i);
    return jumps;
}();

// The lanes start from the word before word 1, so that the vectors line up
// with the block from word 0 on; the word before word 1 is returned.
__attribute__((always_inline)) inline std::uint32_t startlanes(vector (&v)[chains], std::uint32_t first)
{
    const std::uint32_t origin = (first - 1) * inverse17;
    for (std::size_t c = 0; c < chains; c++)
        for (std::size_t l = 0; l < lanes; l++) {
            const jump& j = firstjumps[c * lanes + l];
            v[c][l] = j.multiplier * origin + j.increment;
        }
    return origin;
}

constexpr jump step = jumpby(span);

// Word 0 comes out as the word before word 1; the caller overwrites it.
__attribute__((always_inline)) inline void chainlanes(unsigned char* block, std::uint32_t first)
{
    vector v[chains];
    startlanes(v, first);
    for (unsigned char* at = block; at < block + blocksize; at += sizeof v)
#pragma GCC unroll 8
        for (std::size_t c = 0; c < chains; c++) {
            std::memcpy(at + c * sizeof v[c], &v[c], sizeof v[c]);
            v[c] = v[c] * step.multiplier + step.increment;
        }
}

// Compares one vector of a block with a lane and moves the lane on.
__attribute__((always_inline)) inline void comparelane(vector& differ, vector& lane, const unsigned char* at)
{
    vector got;
    std::memcpy(&got, at, sizeof got);
    differ |= got ^ lane;
    lane = lane * step.multiplier + step.increment;
}

// The same lanes compared with a block instead of stored into one: a single
// pass over what was read, with nothing written. Word 0 is the block's index,
// not part of the chain, so the first vector is compared with the lane's own
// word in its place.
__attribute__((always_inline)) inline bool chainlanesheld(const unsigned char* block, std::uint32_t first)
{
    vector v[chains];
    const std::uint32_t origin = startlanes(v, first);
    unsigned char head[sizeof(vector)];
    std::memcpy(head, block, sizeof head);
    std::memcpy(head, &origin, sizeof origin);
    vector differ{};
    comparelane(differ, v[0], head);
    for (std::size_t c = 1; c < chains; c++)
        comparelane(differ, v[c], block + c * sizeof(vector));
    for (const unsigned char* at = block + sizeof v; at < block + blocksize; at += sizeof v)
#pragma GCC unroll 8
        for (std::size_t c = 0; c < chains; c++)
            comparelane(differ, v[c], at + c * sizeof(vector));
    std::uint32_t any = 0;
    for (std::size_t l = 0; l < lanes; l++)
        any |= differ[l];
    return any == 0;
}

#if defined(__x86_64__) || defined(__i386__)
// Tuned for processors that have AVX2, so that unaligned stores stay whole.
__attribute__((target("avx2,tune=haswell"))) void chainavx2(unsigned char* block, std::uint32_t first)
{
    chainlanes(block, first);
}

__attribute__((target("avx2,tune=haswell"))) bool holdschainavx2(const unsigned char* block,
                                                                 std::uint32_t first)
{
    return chainlanesheld(block, first);
}

// Whether the processor has AVX2 and the system saves its registers, asked
// of the processor itself: the compiler's own test needs a runtime library
// that not every toolchain links (zig's for macOS does not).
bool hasavx2()
{
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return false;
    unsigned int saved = 0, high = 0;
    __asm__("xgetbv" : "=a"(saved), "=d"(high) : "c"(0));
    constexpr unsigned int ssestate = 2, avxstate = 4;
    return (saved & (ssestate | avxstate)) == (ssestate | avxstate) &&
           __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0;
}

bool useavx2()
{
    static const bool avx2 = hasavx2();
    return avx2;
}
#endif

void chainbaseline(unsigned char* block, std::uint32_t first)
{
    chainlanes(block, first);
}

bool holdschainbaseline(const unsigned char* block, std::uint32_t first)
{
    return chainlanesheld(block, first);
}

} // namespace

void chainfast(unsigned char* block, std::uint32_t first)
{
#if defined(__x86_64__) || defined(__i386__)
    if (useavx2())
        return chainavx2(block, first);
#endif
    chainbaseline(block, first);
}

bool holdschain(const unsigned char* block, std::uint32_t first)
{
#if defined(__x86_64__) || defined(__i386__)
    if (useavx2())
        return holdschainavx2(block, first);
#endif
    return holdschainbaseline(block, first);
}

#else

void chainfast(unsigned char* block, std::uint32_t first)
{
    chainplain(block, first);
}

bool holdschain(const unsigned char* block, std::uint32_t first)
{
    std::uint32_t word = first;
    for (std::size_t i = 1; i < blockwords; i++, word = word * 17 + 1) {
        const unsigned char* at = block + 4 * i;
        if ((at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24) != word)
            return false;
    }
    return true;
}

#endif

} // namespace pattern
