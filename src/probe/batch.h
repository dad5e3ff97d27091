// Several devices probed at the same time, each by a run of its own on a
// thread of its own, as if it ran alone: the console shows a line per
// device, and the verdicts come at the end in the order the devices were
// given.
#pragma once

#include "probe/devicerun.h"

#include <cstdint>
#include <vector>

namespace probe {

// Probes every one of paths with the options of common, starting at
// starttime (frequency ticks a second); the steps live on a terminal where
// onterminal says so, else a line each, led by the device. With json, the
// text goes to standard error and standard output carries only the document
// of the results. The exit status is the highest of the devices'.
int probebatch(const std::vector<const char*>& paths, const runoptions& common, std::int64_t frequency,
               std::int64_t starttime, bool onterminal, bool json);

} // namespace probe
