#include "probe/device.h"

#include "platform/process.h"

namespace probe {

std::uint32_t probeunit(std::uint32_t logical, std::uint32_t physical)
{
    // A larger unit would cost more I/O than its tearing could.
    constexpr std::uint32_t largest = 64 << 10;
    const bool whole = logical > 0 && physical > logical && physical <= largest && physical % logical == 0 &&
                       (physical & (physical - 1)) == 0;
    return whole ? physical : logical;
}

iobuffer::iobuffer(std::size_t size) : data(allocbuffer(size)) {}

iobuffer::~iobuffer()
{
    freebuffer(data);
}

} // namespace probe
