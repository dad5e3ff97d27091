// The driver's arithmetic on the numbers it is given and measures.
#pragma once

#include <cstdint>

// The amount in MiB as the command line gives it: leading white space, one
// optional sign, decimal digits up to the first other byte, wrapping modulo
// 2^32. No digits give 0.
std::int32_t parseamount(const char* text);

// Mean transfer rate in MiB per second of amount MiB moved in elapsed ticks of
// a counter running at frequency ticks per second. Zero or negative elapsed
// time gives an infinite or negative rate, never a trap.
double transferrate(std::int32_t amount, std::int64_t elapsed, std::int64_t frequency);

// Share of the pass done, in whole percent, truncated.
int percentdone(std::int64_t totalblocks, std::int64_t remainingblocks);
