#include "driver/numbers.h"

namespace {

bool iswhitespace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isdigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::int32_t parseamount(const char* text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (iswhitespace(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    std::uint32_t value = 0;
    for (; isdigit(*p); p++)
        value = value * 10 + (*p - '0');
    if (negative)
        value = 0u - value;
    return static_cast<std::int32_t>(value);
}

double transferrate(std::int32_t amount, std::int64_t elapsed, std::int64_t frequency)
{
    // Dividing before multiplying is part of the result's rounding.
    return static_cast<double>(amount) / static_cast<double>(elapsed) * static_cast<double>(frequency);
}

int percentdone(std::int64_t totalblocks, std::int64_t remainingblocks)
{
    return static_cast<int>((totalblocks - remainingblocks) * 100 / totalblocks);
}
