// The counter from the system's monotonic clock, in nanoseconds.
#include "platform/clock.h"

#include "platform/posix/posix.h"

namespace {

constexpr std::int64_t nanosecondspersecond = 1000000000;

} // namespace

bool QueryPerformanceFrequency(std::int64_t* frequency)
{
    timespec resolution;
    if (clock_getres(posix::monotonic, &resolution) != 0)
        return false;
    *frequency = nanosecondspersecond;
    return true;
}

bool QueryPerformanceCounter(std::int64_t* count)
{
    timespec now;
    if (clock_gettime(posix::monotonic, &now) != 0)
        return false;
    *count = now.tv_sec * nanosecondspersecond + now.tv_nsec;
    return true;
}
