// After the verdict: a counterfeit device's usable part made of use, with a
// partition table of its own and the system's tool to format it; and what
// such a fix saved written back (--unfix). The fix takes the device, its
// facts and the run's findings, and speaks through the run's console.
#pragma once

#include "platform/blockdevice.h"
#include "probe/advice.h"
#include "probe/devicerun.h"
#include "probe/report.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace probe {

// What a fix writes, and --unfix writes back: the partition table's MiB and
// the partition's first.
constexpr std::uint64_t fixbytes = 2 * mib;

class devicefix {
  public:
    // The fix of the device chosen.path, whose run's journal is named
    // journal.
    devicefix(const runoptions& chosen, const deviceinfo& info, const partitiontarget& target,
              const std::string& journal, runconsole& console);

    // After a probe that ended with status and found: a counterfeit's usable
    // part made of use, where fittingend (the end of a table that already
    // fits) does not say it is; dev is let go of once the table is written,
    // for the system's tools. The exit status.
    int make(std::unique_ptr<blockdevice>& dev, int status, const findings& found, std::uint64_t fittingend);

    // The first 2 MiB that --fix saved in chosen.unfix written back onto dev,
    // progress hearing of it and finished told at its end; the exit status.
    int undo(blockdevice& dev, const progressreport& progress, const std::function<void()>& finished);

    // What make did, for the document of the run.
    const fixreport& report() const
    {
        return fixed;
    }

  private:
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::string savebackup(blockdevice& dev, std::uint32_t signature);
    bool writepartitiontable(blockdevice& dev, const fixplan& plan, const std::string& backup);
    void format(const fixplan& plan);
    bool stillthere(blockdevice& dev, std::uint64_t key);

    const runoptions& chosen;
    const deviceinfo& info;
    const partitiontarget& target;
    const std::string journal;
    runconsole& console;
    fixreport fixed;
};

} // namespace probe
