// Windows' names for drives, volumes and disks, and what its answers about
// them mean, decided by pure functions that every build compiles and tests.
#pragma once

namespace drives {} // namespace drives
