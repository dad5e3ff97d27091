// The high-resolution counter, under the names and with the contract of the
// Windows calls: a fixed frequency in ticks per second and a count that never
// goes backwards, even while the machine sleeps or the clock is set, each
// delivered through the out-parameter; false when the system has none.
#pragma once

#include <cstdint>

bool QueryPerformanceFrequency(std::int64_t* frequency);
bool QueryPerformanceCounter(std::int64_t* count);
