#include "console/liveline.h"

#include "platform/console.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int64_t updatespersecond = 10;
// The rate is measured from a mark that moves on every two seconds, so it
// covers the last two to four seconds: long enough to be steady, short
// enough that a medium slowing down shows at once.
constexpr std::int64_t windowseconds = 2;
constexpr double bytespermib = 1 << 20;
constexpr char eraseline[] = "\x1b[K";

liverate programrate;

} // namespace

void liverate::start(std::int64_t start, std::int64_t frequency)
{
    tickspersecond = frequency;
    passstart = start;
    shownat = start;
    nextwindowstart = {start, 0};
    haverate = false;
}

bool liverate::due(std::int64_t now)
{
    if (now - shownat < tickspersecond / updatespersecond)
        return false;
    shownat = now;
    return true;
}

std::string liverate::figures(std::int64_t now, std::int64_t done, std::int64_t remaining)
{
    if (now - nextwindowstart.at >= windowseconds * tickspersecond) {
        windowstart = nextwindowstart;
        nextwindowstart = {now, done};
        haverate = true;
    }
    if (!haverate || done == 0)
        return "";
    const double seconds = static_cast<double>(now - windowstart.at) / static_cast<double>(tickspersecond);
    const double mib = static_cast<double>(done - windowstart.done) / bytespermib;
    const double secondsleft = static_cast<double>(remaining) * static_cast<double>(now - passstart) /
                               static_cast<double>(done) / static_cast<double>(tickspersecond);
    return formatfigures(mib / seconds, secondsleft);
}

void livestart(std::int64_t start, std::int64_t frequency)
{
    programrate.start(start, frequency);
}

bool livedue(std::int64_t now)
{
    return programrate.due(now);
}

std::string livefigures(std::int64_t now, std::int64_t done, std::int64_t remaining)
{
    return programrate.figures(now, done, remaining);
}

std::string formatfigures(double rate, double secondsleft)
{
    const long long total = std::llround(secondsleft);
    const long long hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
    // Cut, never rounded up: a tenth below 100 MByte/s, whole ones from there,
    // so that up to 999.9 MByte/s and 99:59:59 fit an 80-column line.
    char speed[32];
    if (rate < 100)
        std::snprintf(speed, sizeof speed, "%.1f", std::floor(rate * 10) / 10);
    else
        std::snprintf(speed, sizeof speed, "%.0f", std::floor(rate));
    char figures[80];
    if (hours > 0)
        std::snprintf(figures, sizeof figures, ", %s MByte/s, noch %lld:%02lld:%02lld", speed, hours, minutes,
                      seconds);
    else
        std::snprintf(figures, sizeof figures, ", %s MByte/s, noch %lld:%02lld", speed, minutes, seconds);
    return figures;
}

// The columns that UTF-8 text takes: one for each character, whatever the
// bytes of its encoding.
std::size_t columns(const char* text)
{
    std::size_t count = 0;
    for (; *text != '\0'; text++)
        count += (static_cast<unsigned char>(*text) & 0xc0) != 0x80;
    return count;
}

void showline(const char* line, const std::string& figures, bool rewrite, bool onterminal)
{
    const std::size_t length = columns(line);
    const int width = onterminal ? terminalcolumns() : 0;
    if (length >= static_cast<std::size_t>(width)) {
        if (rewrite)
            return;
        std::printf("\r%s", line);
    } else {
        bool fits = length + figures.size() < static_cast<std::size_t>(width);
        std::printf("\r%s%s%s", line, fits ? figures.c_str() : "", eraseline);
    }
    std::fflush(stdout);
}
