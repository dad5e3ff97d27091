#include "platform/clock.h"

#include <windows.h>

bool QueryPerformanceFrequency(std::int64_t* frequency)
{
    LARGE_INTEGER value;
    if (!::QueryPerformanceFrequency(&value))
        return false;
    *frequency = value.QuadPart;
    return true;
}

bool QueryPerformanceCounter(std::int64_t* count)
{
    LARGE_INTEGER value;
    if (!::QueryPerformanceCounter(&value))
        return false;
    *count = value.QuadPart;
    return true;
}
