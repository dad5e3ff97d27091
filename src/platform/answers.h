// What the system's answers mean, decided by pure functions that every build
// compiles and tests.
#pragma once

namespace answers {

// True when error says that the driver or the file system does not know the
// request (ENOTTY, ENOTSUP, EOPNOTSUPP): it was not done, but nothing was
// lost. Every other error, an I/O error or a device gone above all, is a
// failure.
bool notsupported(int error);

} // namespace answers
