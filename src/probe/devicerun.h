// One device's run of kapprobe: the device opened alone, the journals that
// a crashed run left for it written back, the probe with a journal of its
// own, everything written back, and the verdict. The run's state lives in
// the object, so that runs can go side by side.
#pragma once

#include "platform/blockdevice.h"
#include "probe/advice.h"
#include "probe/journal.h"
#include "probe/search.h"

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

struct runoptions {
    std::uint64_t cachelimit = defaultcachelimit;
    bool restoreonly = false;
    const char* path = nullptr;
};

class blockdevice;
class journalonfile;

class devicerun {
  public:
    // A run of the device chosen.path, which starts its clock at starttime
    // (frequency ticks a second) and shows its steps on a terminal where
    // onterminal says so.
    devicerun(const runoptions& chosen, std::int64_t frequency, std::int64_t starttime, bool onterminal);

    // The whole run; its exit status.
    int go();

  private:
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void noticestop();
    std::string stepline(int round, const char* step) const;
    void showstep(int round, const char* step, std::uint64_t done);
    progressreport progress();
    void showfinished();
    void reportrestoration(const restoration& restored, const journalcontents& contents,
                           const std::string& name, const std::string& journalfailure);
    void showcost(const blockdevice& dev);
    bool restorejournal(blockdevice& dev, journalonfile& file, const journalcontents& contents,
                        const std::string& name, std::uint64_t done, std::uint64_t later,
                        restoration* restored, const std::vector<stretch>& back = {});
    void showforeign(const std::string& candidate, const journalcontents& contents, const ownership& owner,
                     bool own);
    int restoreone(blockdevice& dev, const std::string& candidate, const std::string& name,
                   std::uint64_t later, bool* found);
    int restorefound(blockdevice& dev, const std::string& name, std::uint64_t later, bool* found);
    void showverdict(const findings& found, const std::string& name, const std::string& journalfailure);
    bool roomforjournal(const blockdevice& dev, std::uint64_t cachelimit);
    int probedevice(blockdevice& dev, const std::string& name);

    const runoptions chosen;
    const std::int64_t frequency;
    const std::int64_t starttime;
    deviceinfo info;
    partitiontarget target;

    // The console: a line per step, which on a terminal moves on with the
    // share of the planned I/O done, the rate and the time still to go; into
    // a file or a pipe each step gets a line of its own. The share follows
    // the plan as it changes, never goes back, and shows 100% at the end.
    const bool onterminal;
    std::uint64_t plannedio = 0;
    int shownshare = 0;
    std::string shownstep;
    bool stopnoticed = false;
};

} // namespace probe
