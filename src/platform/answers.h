// What the system's answers mean, decided by pure functions that every build
// compiles and tests.
#pragma once

#include <string>

namespace answers {

// True when error says that the driver or the file system does not know the
// request (ENOTTY, ENOTSUP, EOPNOTSUPP): it was not done, but nothing was
// lost. Every other error, an I/O error or a device gone above all, is a
// failure.
bool notsupported(int error);

// The errors users meet in German: the text for a POSIX errno, and for a
// Windows error code; empty for the rest, which keep the system's own text.
std::string reason(int error);
std::string windowsreason(unsigned long code);

} // namespace answers
