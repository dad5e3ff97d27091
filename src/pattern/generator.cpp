// Additive feedback generator of degree 31 and separation 3 on 32-bit words,
// filled at seeding by a linear congruential recurrence. It is defined here to
// the bit because every verify pass, also years later on another machine, must
// regenerate exactly what the write pass put on the medium.
#include "pattern/pattern.h"

namespace pattern {

std::uint32_t generatorstate[generatordegree];
int frontposition;
int rearposition;

namespace {

constexpr int degree = generatordegree;
constexpr int separation = 3;
constexpr std::uint32_t seedmultiplier = 1103515245;
constexpr std::uint32_t seedincrement = 12345;
constexpr int discardeddraws = 10 * degree;

} // namespace

void seedrandom(std::uint32_t seed)
{
    generatorstate[0] = seed;
    for (int i = 1; i < degree; i++)
        generatorstate[i] = seedmultiplier * generatorstate[i - 1] + seedincrement;
    frontposition = separation;
    rearposition = 0;
    for (int i = 0; i < discardeddraws; i++)
        random();
}

std::int32_t random()
{
    generatorstate[frontposition] += generatorstate[rearposition];
    std::uint32_t result = generatorstate[frontposition] >> 1;
    if (++frontposition == degree) {
        frontposition = 0;
        rearposition++;
    } else if (++rearposition == degree) {
        rearposition = 0;
    }
    return static_cast<std::int32_t>(result);
}

} // namespace pattern
