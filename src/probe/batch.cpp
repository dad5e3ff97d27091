#include "probe/batch.h"

#include "console/liveline.h"
#include "platform/blockdevice.h"
#include "platform/console.h"
#include "platform/process.h"
#include "probe/report.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace probe {

namespace {

constexpr char eraseline[] = "\x1b[K";
// Narrower than this, a device's line says too little to be worth a block.
constexpr int narrowest = 40;

// What the console shows while the runs go: on a terminal with room for it
// a block of a line per device, redrawn in place; elsewhere each new step as
// a line of its own, led by its device.
class display {
  public:
    display(const std::vector<const char*>& paths, bool onterminal, std::FILE* out)
        : out(out), names(paths.begin(), paths.end()), lines(paths.size())
    {
        const int rows = onterminal ? terminalrows() : 0;
        block = onterminal && terminalcolumns() >= narrowest && rows > static_cast<int>(paths.size());
    }

    bool live() const
    {
        return block;
    }

    void step(std::size_t device, const std::string& line, const std::string& figures)
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (!block) {
            std::fprintf(out, "%s: %s\n", names[device].c_str(), line.c_str());
            std::fflush(out);
            return;
        }
        lines[device] = line + figures;
        draw();
    }

    // Text that goes out at once, below the block, which follows it anew;
    // the same text from several runs goes out once.
    void notice(const std::string& text)
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (text == noticed)
            return;
        noticed = text;
        std::fputs(text.c_str(), out);
        std::fflush(out);
        drawn = false;
    }

  private:
    // The block, each line cut to the width so that none wraps.
    void draw()
    {
        const auto width = static_cast<std::size_t>(std::max(terminalcolumns(), narrowest));
        std::string shown = drawn ? "\x1b[" + std::to_string(lines.size()) + "A" : "";
        for (std::size_t i = 0; i < lines.size(); i++) {
            std::string line = names[i] + ": " + lines[i];
            while (columns(line.c_str()) >= width) {
                line.pop_back();
                while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xc0) == 0x80)
                    line.pop_back();
            }
            shown += "\r" + line + eraseline + "\n";
        }
        std::fputs(shown.c_str(), out);
        std::fflush(out);
        drawn = true;
    }

    std::FILE* const out;
    std::mutex lock;
    std::vector<std::string> names;
    std::vector<std::string> lines;
    bool block;
    bool drawn = false;
    std::string noticed;
};

// A run's console in a batch: its words kept for the end, its steps and
// notices handed to the display.
class batchconsole : public runconsole {
  public:
    batchconsole(display& shown, std::size_t device) : shown(shown), device(device) {}

    bool live() const override
    {
        return shown.live();
    }

    void say(const std::string& text) override
    {
        said += text;
    }

    void notice(const std::string& text) override
    {
        shown.notice(text);
    }

    void step(const std::string& line, const std::string& figures, bool) override
    {
        shown.step(device, line, figures);
    }

    void finished(const std::string& line) override
    {
        shown.step(device, line, "");
    }

    void concluded(const std::string& verdict) override
    {
        shown.step(device, verdict, "");
    }

    std::string ask(const std::string& question) override
    {
        shown.notice(unshown() + question);
        return typedline();
    }

    // What the run said that is not shown yet, from now on as shown.
    std::string unshown()
    {
        const std::size_t from = std::exchange(shownupto, said.size());
        return said.substr(from);
    }

    std::string said;

  private:
    std::size_t shownupto = 0;
    display& shown;
    const std::size_t device;
};

// Gives each run a journal of its own and tells it the room the others'
// take beside it. Two devices that would give the same name (of one size,
// telling the same identity or none) tell them apart by their paths.
void sharejournals(const std::vector<const char*>& paths, std::vector<std::unique_ptr<devicerun>>& runs,
                   const std::vector<bool>& going)
{
    std::vector<std::string> names;
    std::uint64_t room = 0;
    for (std::size_t i = 0; i < runs.size(); i++) {
        if (!going[i])
            continue;
        if (std::find(names.begin(), names.end(), runs[i]->ownjournal()) != names.end())
            runs[i]->renamejournal(
                journalname(runs[i]->opened().size, runs[i]->opened().identity + " " + paths[i]));
        names.push_back(runs[i]->ownjournal());
        room += runs[i]->journalroom();
    }
    for (std::size_t i = 0; i < runs.size(); i++)
        if (going[i])
            runs[i]->alongside(room - runs[i]->journalroom());
}

} // namespace

int probebatch(const std::vector<const char*>& paths, const runoptions& common, std::int64_t frequency,
               std::int64_t starttime, bool onterminal, bool json)
{
    std::FILE* const out = json ? stderr : stdout;
    display shown(paths, onterminal && !json, out);
    std::vector<std::unique_ptr<batchconsole>> consoles;
    std::vector<std::unique_ptr<devicerun>> runs;
    std::vector<int> statuses(paths.size(), noverdict);
    std::vector<bool> going(paths.size(), false);
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < paths.size(); i++) {
        runoptions chosen = common;
        chosen.path = paths[i];
        consoles.push_back(std::make_unique<batchconsole>(shown, i));
        runs.push_back(std::make_unique<devicerun>(chosen, frequency, starttime, *consoles[i]));
        keys.push_back(devicekey(paths[i]));
        const auto first =
            static_cast<std::size_t>(std::find(keys.begin(), keys.end(), keys[i]) - keys.begin());
        if (first < i)
            consoles[i]->say(formatted("*** '%s' ist dasselbe Gerät wie '%s' und wird nur einmal geprüft.\n",
                                       paths[i], paths[first]));
        else
            going[i] = runs[i]->open();
        if (!going[i])
            consoles[i]->concluded("abgelehnt");
    }
    sharejournals(paths, runs, going);
    // A device at a time writes back what crashed runs left, as each looks
    // at every journal of its size and holds it while it does; only then do
    // the probes start, each with a journal no other run looks at.
    for (std::size_t i = 0; i < paths.size(); i++) {
        if (!going[i])
            continue;
        statuses[i] = runs[i]->restoreearlier();
        going[i] = statuses[i] < 0;
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < paths.size(); i++)
        if (going[i])
            threads.emplace_back([&runs, &statuses, i] { statuses[i] = runs[i]->probe(); });
    for (std::thread& thread : threads)
        thread.join();
    std::vector<deviceresult> results;
    for (std::size_t i = 0; i < paths.size(); i++) {
        std::fprintf(out, "\n=== %s ===\n%s", paths[i], consoles[i]->unshown().c_str());
        // --fix asks about one device at a time, below what its run said.
        if (going[i]) {
            statuses[i] = runs[i]->fix(statuses[i]);
            std::fputs(consoles[i]->unshown().c_str(), out);
        }
        results.push_back({paths[i], runs[i]->opened(), runs[i]->outcome()});
        results.back().run.status = statuses[i];
        if (results.back().run.message.empty())
            results.back().run.message = consoles[i]->said;
    }
    // A batch that was stopped ends as a stopped run does, whatever some
    // devices found before: with 1, or with 4 where something did not come back.
    int status = *std::max_element(statuses.begin(), statuses.end());
    if (stoprequested() && status != notrestored)
        status = noverdict;
    if (json) {
        std::fflush(out);
        std::fputs(jsondocument(KAPMESS_VERSION, status, results).c_str(), stdout);
    }
    return status;
}

} // namespace probe
