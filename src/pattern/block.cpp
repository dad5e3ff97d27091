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

} // namespace

void fillblock(unsigned char* block)
{
    std::uint32_t index = blockcounter++;
    chainfast(block, static_cast<std::uint32_t>(random()));
    storeword(block, index);
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
