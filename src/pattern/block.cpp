// The test block and the file names of the set. A block carries its own index
// in word 0, so a medium that maps two addresses to one place shows up as a
// block with the wrong index.
#include "pattern/pattern.h"

#include "pattern/chain.h"

#include <cstdio>

namespace pattern {

std::uint32_t blockcounter;

namespace {

void storeword(unsigned char* at, std::uint32_t word)
{
    at[0] = static_cast<unsigned char>(word);
    at[1] = static_cast<unsigned char>(word >> 8);
    at[2] = static_cast<unsigned char>(word >> 16);
    at[3] = static_cast<unsigned char>(word >> 24);
}

std::uint32_t loadword(const unsigned char* at)
{
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

} // namespace

blockkey nextblock()
{
    std::uint32_t index = blockcounter++;
    return {index, static_cast<std::uint32_t>(random())};
}

void makeblock(unsigned char* block, blockkey key)
{
    chainfast(block, key.first);
    storeword(block, key.index);
}

bool holdsblock(const unsigned char* block, blockkey key)
{
    return loadword(block) == key.index && holdschain(block, key.first);
}

void fillblock(unsigned char* block)
{
    makeblock(block, nextblock());
}

void startpass()
{
    seedrandom(passseed);
    blockcounter = 0;
}

void filename(char (&name)[filenamesize], int filenumber)
{
    std::snprintf(name, sizeof name, "%d.kpm", filenumber);
}

} // namespace pattern
