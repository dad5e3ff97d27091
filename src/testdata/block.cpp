// The test block and the file names of the set. A block carries its own index
// in word 0, so a medium that maps two addresses to one place shows up as a
// block with the wrong index.
#include "testdata/testdata.h"

#include <cstdio>

namespace testdata {

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
    storeword(block, blockcounter++);
    auto word = static_cast<std::uint32_t>(random());
    storeword(block + 4, word);
    for (std::size_t i = 2; i < blockwords; i++) {
        word = word * 17 + 1;
        storeword(block + 4 * i, word);
    }
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

} // namespace testdata
