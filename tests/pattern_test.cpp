// The test data must come out the same, to the bit, in every run on every
// host: these are the reference values of the generator and the blocks.
#include "pattern/chain.h"
#include "pattern/pattern.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

using namespace pattern;

namespace {

std::uint32_t word(const unsigned char* block, std::size_t index)
{
    const unsigned char* at = block + 4 * index;
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

TEST(Generator, FollowsTheReferenceSequence)
{
    const std::uint32_t seeded[generatordegree] = {
        0x208037c7, 0xa3deade9, 0x6d413350, 0x87fb5b81, 0xed283c25, 0xf0c35eee, 0xe397d90b, 0x204a8087,
        0xde1ecacb, 0x9dfe6374, 0x3ec74508, 0xafcc123d, 0x651e5a70, 0x14303824, 0xfbb7a0b5, 0x61f9f09a,
        0xb99c88fd, 0xfcbc1cce, 0x974236fc, 0x2a5733d6, 0x5973eb24, 0x23d6483e, 0xb9cb60d2, 0x925e43b4,
        0x8dbe4900, 0x6f569d95, 0x3ce6f1d7, 0x769d9a31, 0x4603f914, 0x14391810, 0xe57069ee};
    seedrandom(42);
    EXPECT_EQ(std::vector<std::uint32_t>(std::begin(generatorstate), std::end(generatorstate)),
              std::vector<std::uint32_t>(std::begin(seeded), std::end(seeded)));
    EXPECT_EQ(frontposition, 3);
    EXPECT_EQ(rearposition, 0);
    const std::int32_t first[] = {0x543dc9a4, 0x48837507, 0x2f02491f, 0x4609b629, 0x58a8b54a};
    for (std::int32_t value : first)
        EXPECT_EQ(pattern::random(), value);
    for (int i = 6; i < 32767; i++)
        ASSERT_GE(pattern::random(), 0);
    EXPECT_EQ(pattern::random(), 0x54c7cdd5);
    EXPECT_EQ(pattern::random(), 0x35db7176);
    EXPECT_EQ(pattern::random(), 0x6dd75dc2);

    seedrandom(42);
    EXPECT_EQ(pattern::random(), 0x543dc9a4);
}

struct referenceblock {
    std::uint32_t index;
    std::array<std::uint32_t, 8> head;
    std::uint32_t last;
};

const referenceblock referenceblocks[] = {
    {0,
     {0x00000000, 0x543dc9a4, 0x981a63e5, 0x19c0a236, 0xb5cac597, 0x12771f08, 0x39e90f89, 0xd87a081a},
     0x575d0d52},
    {1,
     {0x00000001, 0x48837507, 0xd0bac578, 0xdc671cf9, 0xa2d8ec8a, 0xd067b52b, 0xd6e307dc, 0x4513859d},
     0xe591b555},
    {2,
     {0x00000002, 0x2f02491f, 0x1f26db10, 0x11948c11, 0x2add4d22, 0xd8b21f43, 0x63d41374, 0xa1154ab5},
     0xe8844e6d},
    {32766,
     {0x00007ffe, 0x54c7cdd5, 0xa144ab26, 0xb58f5d87, 0x0e8535f8, 0xf6d89579, 0x6461ed0a, 0xaa80bdab},
     0x3b5fde63},
    {32767,
     {0x00007fff, 0x35db7176, 0x939288d7, 0xccbb1648, 0x986c7ac9, 0x1f34275a, 0x12769cfb, 0x39e06cac},
     0x9eaab0e4},
    {32768,
     {0x00008000, 0x6dd75dc2, 0x4b4d39e3, 0x0020d814, 0x022e5955, 0x2513eea6, 0x7652d907, 0xdb806978},
     0x7686f7b0},
};

TEST(Block, PassHoldsTheReferenceBlocksInOrder)
{
    std::vector<unsigned char> block(blocksize);
    startpass();
    for (const auto& reference : referenceblocks) {
        while (blockcounter < reference.index)
            fillblock(block.data());
        fillblock(block.data());
        SCOPED_TRACE(reference.index);
        for (std::size_t i = 0; i < reference.head.size(); i++)
            EXPECT_EQ(word(block.data(), i), reference.head[i]);
        EXPECT_EQ(word(block.data(), blockwords - 1), reference.last);
    }
    const unsigned char secondblockstart[] = {1, 0, 0, 0, 0x07, 0x75, 0x83, 0x48};
    startpass();
    fillblock(block.data());
    fillblock(block.data());
    EXPECT_EQ(std::vector<unsigned char>(block.begin(), block.begin() + 8),
              std::vector<unsigned char>(std::begin(secondblockstart), std::end(secondblockstart)));
}

TEST(Block, SetOfOneMibHasTheReferenceDigest)
{
#ifdef _WIN32
    GTEST_SKIP() << "sha256sum is a host tool; the end-to-end suite checks the digest of 1.kpm";
#endif
    char path[] = "/tmp/kapmess-digest.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::FILE* file = fdopen(fd, "wb");
    std::vector<unsigned char> block(blocksize);
    startpass();
    for (int i = 0; i < 16; i++) {
        fillblock(block.data());
        std::fwrite(block.data(), 1, block.size(), file);
    }
    std::fclose(file);
    std::string command = std::string("sha256sum ") + path;
    std::FILE* digest = popen(command.c_str(), "r");
    char text[65] = "";
    ASSERT_EQ(std::fread(text, 1, 64, digest), 64u);
    pclose(digest);
    std::remove(path);
    EXPECT_STREQ(text, "d244123ec8545dae7e89a1d5b8a2c36a4247b1bcd0a4ffcf1b53561272756e00");
}

// The SIMD chain must agree with the plain recurrence on every word, whatever
// the random number, and through a pass longer than one file.
TEST(Block, FastChainEqualsThePlainRecurrence)
{
    std::vector<unsigned char> fast(blocksize), plain(blocksize);
    auto differ = [&] { return !std::equal(fast.begin() + 4, fast.end(), plain.begin() + 4); };
    std::uint32_t value = 0x2545f491;
    for (std::uint32_t i = 0; i < 5000; i++, value = value * 1664525 + 1013904223)
        for (std::uint32_t first : {value, value >> 1, i, ~i}) {
            pattern::chainfast(fast.data(), first);
            pattern::chainplain(plain.data(), first);
            ASSERT_FALSE(differ()) << "first word " << first;
        }
    for (int pass = 0; pass < 2; pass++) {
        startpass();
        for (std::uint32_t block = 0; block < 40000; block++) {
            fillblock(fast.data());
            ASSERT_EQ(word(fast.data(), 0), block);
            pattern::chainplain(plain.data(), word(fast.data(), 1));
            ASSERT_FALSE(differ()) << "block " << block;
        }
    }
}

// A block read back is checked without its test block being made: it must
// hold exactly the test block of its key, so one bit changed in any of its
// words, its index or its random number is found.
TEST(Block, OnlyTheTestBlockOfItsKeyIsHeld)
{
    std::vector<unsigned char> block(blocksize);
    startpass();
    for (int i = 0; i < 3; i++) {
        const blockkey key = nextblock();
        makeblock(block.data(), key);
        ASSERT_TRUE(holdsblock(block.data(), key));
        EXPECT_FALSE(holdsblock(block.data(), {key.index + 1, key.first}));
        EXPECT_FALSE(holdsblock(block.data(), {key.index, key.first + 1}));
        for (std::size_t at = 0; at < blocksize; at += 4) {
            const auto bit = static_cast<unsigned char>(1u << (at / 4 % 8));
            block[at + at / 32 % 4] ^= bit;
            ASSERT_FALSE(holdsblock(block.data(), key)) << "byte " << at + at / 32 % 4;
            block[at + at / 32 % 4] ^= bit;
        }
    }
}

// Passes of more than 2^32 blocks number them modulo 2^32.
TEST(Block, IndexWrapsAfterFourGigablocks)
{
    std::vector<unsigned char> block(blocksize);
    blockcounter = 0xffffffff;
    fillblock(block.data());
    EXPECT_EQ(word(block.data(), 0), 0xffffffffu);
    fillblock(block.data());
    EXPECT_EQ(word(block.data(), 0), 0u);
}

TEST(Block, FileNamesCountFromOne)
{
    char name[filenamesize];
    filename(name, 1);
    EXPECT_STREQ(name, "1.kpm");
    filename(name, 65538);
    EXPECT_STREQ(name, "65538.kpm");
}

} // namespace
