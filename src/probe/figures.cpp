#include "probe/figures.h"

namespace probe {

namespace {

// value / unit rounded to tenths, with a decimal comma: "62,5".
std::string tenths(std::uint64_t value, std::uint64_t unit)
{
    const std::uint64_t rounded = (value + unit / 20) / (unit / 10);
    return std::to_string(rounded / 10) + "," + std::to_string(rounded % 10);
}

} // namespace

std::string packagesize(std::uint64_t bytes)
{
    // Decimal, as on a card's package: 64 GB are 64,000,000,000 bytes. Each
    // unit from where its rounded figure no longer fits the smaller one.
    if (bytes >= 999950000000)
        return tenths(bytes, 1000000000000) + " TB";
    if (bytes >= 999500000)
        return tenths(bytes, 1000000000) + " GB";
    return std::to_string((bytes + 500000) / 1000000) + " MB";
}

std::string grouped(std::uint64_t number)
{
    std::string digits = std::to_string(number);
    // Four digits stand ungrouped, as German prints them: "4096", "12.288".
    if (digits.size() <= 4)
        return digits;
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, '.');
    return digits;
}

std::string share(std::uint64_t part, std::uint64_t whole)
{
    if (part == 0 || whole == 0)
        return "0 %";
    // Tenths of a percent, rounded, as far as 10 %; a few places among
    // thousands are not "0 %".
    const std::uint64_t tenth = (part * 1000 + whole / 2) / whole;
    if (tenth == 0)
        return "unter 0,1 %";
    if (tenth < 100)
        return std::to_string(tenth / 10) + "," + std::to_string(tenth % 10) + " %";
    return std::to_string((part * 100 + whole / 2) / whole) + " %";
}

} // namespace probe
