#include "probe/device.h"

#include "platform/platform.h"

namespace probe {

iobuffer::iobuffer(std::size_t size) : data(allocbuffer(size)) {}

iobuffer::~iobuffer()
{
    freebuffer(data);
}

} // namespace probe
