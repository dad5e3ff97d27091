// One device's run of kapprobe: the device opened alone, the journals that
// a crashed run left for it written back, the probe with a journal of its
// own, everything written back, and the verdict. The run's state lives in
// the object, so that runs can go side by side.
#pragma once

#include "console/liveline.h"
#include "platform/blockdevice.h"
#include "probe/advice.h"
#include "probe/journal.h"
#include "probe/report.h"
#include "probe/search.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace probe {

struct runoptions {
    std::uint64_t cachelimit = defaultcachelimit;
    bool restoreonly = false;
    // After the verdict, a counterfeit device's usable part made of use,
    // with (yes) or without asking first.
    bool fix = false;
    bool yes = false;
    // What --fix saved, to be written back instead of a probe.
    const char* unfix = nullptr;
    const char* path = nullptr;
};

class blockdevice;
class journalonfile;

// Where a run's words and steps go: out at once for a device probed alone,
// gathered for a batch, which shows them a device at a time.
class runconsole {
  public:
    virtual ~runconsole() = default;
    // Whether the steps are shown live, with their figures, on a terminal.
    virtual bool live() const = 0;
    // Text of the run, in the order said.
    virtual void say(const std::string& text) = 0;
    // Text that goes out at once, as the notice that a stop was asked for.
    virtual void notice(const std::string& text) = 0;
    // The line of a step: a new one (first) or the same one further on,
    // with the figures where they are due.
    virtual void step(const std::string& line, const std::string& figures, bool first) = 0;
    // The last step's line at 100%, at the end of a run shown live.
    virtual void finished(const std::string& line) = 0;
    // The run's end in a few words, the moment it has it, before its full
    // text: a batch shows it in the device's line.
    virtual void concluded(const std::string&) {}
    // The user's answer to question, a line typed at the terminal; empty
    // where none came.
    virtual std::string ask(const std::string& question) = 0;
};

class devicerun {
  public:
    // A run of the device chosen.path, which starts its clock at starttime
    // (frequency ticks a second) and speaks through console.
    devicerun(const runoptions& chosen, std::int64_t frequency, std::int64_t starttime, runconsole& console);

    ~devicerun();

    // Opens the device alone and says what it is; false when it is refused,
    // and the run said why.
    bool open();
    // After open: the journals that earlier runs left for the device written
    // back; -1 to go on with the probe, else the exit status.
    int restoreearlier();
    // After restoreearlier: the probe; the exit status.
    int probe();
    // After open: both of the above; the exit status.
    int proceed();
    // After the probe, which ended with status: a counterfeit device's
    // usable part made of use, where --fix asks for it; the exit status.
    int fix(int status);
    // After open: the first MiB that --fix saved written back; the exit status.
    int unfix();
    // The whole run; its exit status.
    int go();

    const deviceinfo& opened() const
    {
        return info;
    }

    // What the run found out, once it ended.
    const runresult& outcome() const
    {
        return result;
    }

    // After open: the name of the run's journal, and the most it will hold.
    const std::string& ownjournal() const
    {
        return journalfile;
    }
    std::uint64_t journalroom() const;

    // Names the run's journal otherwise, where another device of a batch
    // would give it the same name.
    void renamejournal(const std::string& name)
    {
        journalfile = name;
    }

    // The room that the journals of the devices probed beside this one
    // need beside its own.
    void alongside(std::uint64_t room)
    {
        otherroom = room;
    }

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
                        restoration* restored, const writeback& back = {}, bool kept = false,
                        journal* log = nullptr);
    void showforeign(const std::string& candidate, const journalcontents& contents, const placesfound& places,
                     bool own);
    bool writeoverchanges(const std::string& candidate, const placesfound& places);
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
    partitiontarget target{};
    std::unique_ptr<blockdevice> dev;
    runresult result;
    std::string journalfile;
    std::uint64_t otherroom = 0;
    // Where the one partition of a table that already fits ends, or 0.
    std::uint64_t fittingend = 0;

    // A line per step, which shown live moves on with the share of the
    // planned I/O done, the rate and the time still to go. The share follows
    // the plan as it changes, never goes back, and shows 100% at the end.
    runconsole& console;
    liverate live;
    std::uint64_t plannedio = 0;
    int shownshare = 0;
    std::string shownstep;
    bool stopnoticed = false;
};

} // namespace probe
