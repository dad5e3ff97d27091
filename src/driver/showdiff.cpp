#include "driver/showdiff.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t rowsize = 8;
// A listing is a hint for the user, not a dump: a block that came back as
// garbage would otherwise print 8,192 rows.
constexpr int maxrows = 8;

void showrow(const unsigned char* shown, const unsigned char* other)
{
    for (std::uint32_t k = 0; k < rowsize; k++) {
        if (shown[k] != other[k])
            std::printf(" %2.2x", shown[k]);
        else
            std::fputs(" ..", stdout);
    }
}

} // namespace

void showdiff(const unsigned char* expected, const unsigned char* actual, std::uint32_t length,
              std::uint32_t base)
{
    int rows = 0;
    for (std::uint32_t j = 0; j + (rowsize - 1) < length; j += rowsize) {
        if (std::memcmp(expected + j, actual + j, rowsize) == 0)
            continue;
        if (++rows > maxrows) {
            std::fputs("...\n", stdout);
            return;
        }
        std::printf("%8.8x:", base + j);
        showrow(expected + j, actual + j);
        std::fputs(" |", stdout);
        showrow(actual + j, expected + j);
        std::fputs("\n", stdout);
    }
}
