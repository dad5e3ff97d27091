// The test pattern: a reproducible stream of 65,536-byte blocks and the names of
// the files that hold them. Nothing here knows about files or the medium.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pattern {

constexpr std::size_t blocksize = 65536;
constexpr std::size_t blockwords = blocksize / 4;
constexpr std::int64_t blockspermib = 16;
// 32,767 and not 32,768: a full file stays 65,536 bytes short of 2 GiB.
constexpr std::int64_t maxblocksperfile = 32767;
constexpr std::uint32_t passseed = 42;
// Enough for "%d.kpm" with any int and the terminating zero.
constexpr std::size_t filenamesize = 20;

constexpr int generatordegree = 31;

// The generator's feedback register and the positions of its next draw.
extern std::uint32_t generatorstate[generatordegree];
extern int frontposition;
extern int rearposition;

// Number of the block that the next fillblock makes; wraps modulo 2^32.
extern std::uint32_t blockcounter;

// Sets the generator state from seed; the same seed restarts the same sequence.
void seedrandom(std::uint32_t seed);

// Next pseudo-random number, 0 to 2,147,483,647.
std::int32_t random();

// What a test block is made of: its number, in word 0, and the random number
// its chain grows from, in word 1; every further word is the previous one
// times 17 plus 1; words little-endian.
struct blockkey {
    std::uint32_t index;
    std::uint32_t first;
};

// The key of the next test block of the pass; the pass moves on by one block.
blockkey nextblock();

// Makes the test block of key in block (blocksize bytes).
void makeblock(unsigned char* block, blockkey key);

// Whether block (blocksize bytes) holds the test block of key, found without
// making it. Keys drawn in order may be checked on any thread.
bool holdsblock(const unsigned char* block, blockkey key);

// Fills block (blocksize bytes) with the next test block of the pass.
void fillblock(unsigned char* block);

// Begins a pass: the next fillblock makes block 0 again.
void startpass();

// The name of test file number filenumber (counted from 1): "1.kpm", ...
void filename(char (&name)[filenamesize], int filenumber);

} // namespace pattern
