// What the system's answers mean, decided by pure functions that every build
// compiles and tests.
#pragma once

namespace answers {} // namespace answers
