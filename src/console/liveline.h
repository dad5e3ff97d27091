// The live progress line on a terminal, shared by kapmess and kapprobe: how
// fast the work goes now, how long it still takes, and a line that is only
// rewritten where the terminal can show it in one row.
#pragma once

#include <cstdint>
#include <string>

// The figures of one stretch of work; kapprobe keeps one for each device of
// a batch, kapmess the one behind the functions below.
class liverate {
  public:
    // Begins the work, whose start reading of a counter running at
    // frequency ticks per second was start.
    void start(std::int64_t start, std::int64_t frequency);

    // True when the line is due again at counter reading now: a tenth of a
    // second after it was last shown, so that it changes at most about ten
    // times a second.
    bool due(std::int64_t now);

    // The figures behind the progress line at counter reading now, when done
    // bytes of the work are finished and remaining bytes still to come: the
    // rate of the last few seconds and the time still to go at the mean rate
    // so far. Empty while there is no rate yet.
    std::string figures(std::int64_t now, std::int64_t done, std::int64_t remaining);

  private:
    struct mark {
        std::int64_t at;
        std::int64_t done;
    };
    std::int64_t tickspersecond = 1;
    std::int64_t passstart = 0;
    std::int64_t shownat = 0;
    mark windowstart{0, 0}, nextwindowstart{0, 0};
    bool haverate = false;
};

// The same for the one stretch of work of a program that has no other.
void livestart(std::int64_t start, std::int64_t frequency);
bool livedue(std::int64_t now);
std::string livefigures(std::int64_t now, std::int64_t done, std::int64_t remaining);

// ", 18.3 MByte/s, noch 12:34": a rate in MiB per second, to a tenth below
// 100 and whole from there, and the seconds still to go, as m:ss, or h:mm:ss
// from an hour on.
std::string formatfigures(double rate, double secondsleft);

// The columns that UTF-8 text takes on a terminal.
std::size_t columns(const char* text);

// Shows line on standard output, beginning with "\r". On a terminal
// (onterminal) that is wide enough, figures follow where they fit and the
// rest of the row is erased; a line too wide is shown only when it is not a
// rewrite, as into a pipe, since every rewrite of a wrapped line would add a
// row. Flushed at once.
void showline(const char* line, const std::string& figures, bool rewrite, bool onterminal);
