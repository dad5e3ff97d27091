// The live part of the progress line on a terminal: how fast the pass goes
// now and how long it still takes.
#pragma once

#include <cstdint>
#include <string>

// Begins a pass whose start reading of a counter running at frequency ticks
// per second was start.
void livestart(std::int64_t start, std::int64_t frequency);

// True when the line is due again at counter reading now: a tenth of a second
// after it was last shown, so that it changes at most about ten times a second.
bool livedue(std::int64_t now);

// The figures behind the progress line at counter reading now, when done
// blocks of the pass are finished and remaining blocks still to come: the rate
// of the last few seconds and the time still to go at the pass's mean rate so
// far. Empty while there is no rate yet.
std::string livefigures(std::int64_t now, std::int64_t done, std::int64_t remaining);

// ", 18.3 MByte/s, noch 12:34": a rate in MiB per second, to a tenth below
// 100 and whole from there, and the seconds still to go, as m:ss, or h:mm:ss
// from an hour on.
std::string formatfigures(double rate, double secondsleft);
