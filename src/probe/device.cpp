#include "probe/device.h"

#include "platform/process.h"

namespace probe {

iobuffer::iobuffer(std::size_t size) : data(allocbuffer(size)) {}

iobuffer::~iobuffer()
{
    freebuffer(data);
}

} // namespace probe
