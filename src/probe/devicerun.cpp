#include "probe/devicerun.h"

#include "console/liveline.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/journalfile.h"
#include "platform/process.h"
#include "probe/fix.h"
#include "probe/onsystem.h"
#include "probe/report.h"
#include "probe/stamp.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <utility>

namespace probe {

namespace {

// Room for the untouched first MiB and a few MiB of probes around it.
constexpr std::uint64_t smallest = 16 * mib;

// The journals a run may have left here for this device: its own name, an
// older run's name by the size alone, and every other journal of a device of
// this size, which may be this one under another identity (another reader
// or port, a loop device over a renamed image).
std::vector<std::string> journalsfor(std::uint64_t size, const std::string& name)
{
    std::vector<std::string> names = {name};
    const std::string older = journalname(size, "");
    if (older != name)
        names.push_back(older);
    const std::string prefix = "kapprobe-" + std::to_string(size) + "-";
    const std::vector<std::string> others = journalsin(prefix);
    std::copy_if(others.begin(), others.end(), std::back_inserter(names),
                 [&name](const std::string& other) { return other != name; });
    return names;
}

} // namespace

std::uint64_t runkey()
{
    std::random_device entropy;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (static_cast<std::uint64_t>(entropy()) << 32 | entropy()) ^ now;
}

devicerun::devicerun(const runoptions& chosen, std::int64_t frequency, std::int64_t starttime,
                     runconsole& console)
    : chosen(chosen), frequency(frequency), starttime(starttime), console(console)
{
    live.start(starttime, frequency);
}

void devicerun::say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // On some machines the analyzer loses the va_start just above.
    console.say(vformatted(format, args)); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
}

// Says once, as soon as a stop is asked for, that the run now writes back.
void devicerun::noticestop()
{
    if (stopnoticed || !stoprequested())
        return;
    stopnoticed = true;
    console.notice("\n*** Abbruch: stelle wieder her, was überschrieben wurde. Nicht abziehen!\n");
}

std::string devicerun::stepline(int round, const char* step) const
{
    char line[120];
    if (round > 0)
        std::snprintf(line, sizeof line, "Runde %d: %s (insgesamt erledigt: %d%%)", round, step, shownshare);
    else
        std::snprintf(line, sizeof line, "%s (insgesamt erledigt: %d%%)", step, shownshare);
    return line;
}

void devicerun::showstep(int round, const char* step, std::uint64_t done)
{
    noticestop();
    const auto percent =
        static_cast<int>(std::min<std::uint64_t>(99, done * 100 / std::max(plannedio, done + 1)));
    shownshare = std::max(shownshare, percent);
    const std::string line = stepline(round, step);
    const std::string which = std::to_string(round) + step;
    if (which != shownstep) {
        shownstep = which;
        console.step(line, "", true);
        return;
    }
    std::int64_t now;
    if (console.live() && QueryPerformanceCounter(&now) && live.due(now))
        console.step(line,
                     live.figures(now, static_cast<std::int64_t>(done),
                                  static_cast<std::int64_t>(plannedio - std::min(plannedio, done))),
                     false);
}

progressreport devicerun::progress()
{
    return [this](int round, const char* step, std::uint64_t done) { showstep(round, step, done); };
}

// The last step's line at 100%, where a terminal shows it.
void devicerun::showfinished()
{
    if (!console.live() || shownstep.empty())
        return;
    shownshare = 100;
    console.finished(stepline(0, "Fertig"));
}

// Tells what did not come back, and how to write it back again.
void devicerun::reportrestoration(const restoration& restored, const journalcontents& contents,
                                  const std::string& name, const std::string& journalfailure)
{
    say("%s", restorationtext(restored, contents, name, journalfailure,
                              probecommand(target, "--restore ", chosen.path))
                  .c_str());
}

void devicerun::showverdict(const findings& found, const std::string& name, const std::string& journalfailure)
{
    // A table that already fits the usable part (a fix before) is said so,
    // and not made again.
    iobuffer first(dev != nullptr ? dev->sectorsize : 0);
    if (first.data != nullptr && found.outcome == verdict::counterfeit &&
        dev->read(0, first.data, dev->sectorsize)) {
        const tableview table = readtable(first.data, dev->sectorsize);
        fittingend = tablefits(table, found.usable) ? table.end : 0;
    }
    result.message =
        verdicttext(found, {info.size, chosen.path, target, name, journalfailure, chosen.fix, fittingend});
    say("%s", result.message.c_str());
}

void devicerun::showcost(const blockdevice& dev)
{
    std::int64_t end = starttime;
    QueryPerformanceCounter(&end);
    const auto seconds = static_cast<long long>((end - starttime) / frequency);
    result.seconds = static_cast<double>(end - starttime) / static_cast<double>(frequency);
    result.written = dev.byteswritten;
    result.read = dev.bytesread;
    say("Dauer %lld:%02lld, geschrieben %s Bytes, gelesen %s Bytes.\n", seconds / 60, seconds % 60,
        grouped(dev.byteswritten).c_str(), grouped(dev.bytesread).c_str());
}

// Writes back the committed records of an open journal through dev, but
// only checks the places within back, which the run wrote back itself; true
// when every byte came back, after which the journal is removed unless
// kept, else it stays and restored says what did not come back. The run
// plans later bytes of I/O after it.
bool devicerun::restorejournal(blockdevice& dev, journalonfile& file, const journalcontents& contents,
                               const std::string& name, std::uint64_t done, std::uint64_t later,
                               restoration* restored, const writeback& back, bool kept, journal* log)
{
    const std::uint64_t saved = savedbytes(contents),
                        backbytes = std::min(saved, std::accumulate(back.stretches.begin(),
                                                                    back.stretches.end(), std::uint64_t{0},
                                                                    [](std::uint64_t sum, const stretch&it) {
                                                                        return sum + it.size;
                                                                    })),
                        checked = back.stride != 0 ? backbytes / back.stride * 4096 : backbytes;
    plannedio = done + 2 * (saved - backbytes) + checked + later;
    *restored = restore(file, contents, dev, progress(), done, back, log);
    if (!restored->complete(contents)) {
        closejournal(file.handle);
        return false;
    }
    if (restored->unstable > restored->unstabledata)
        say("\n%s Bytes lieferten bei jedem Lesen anderes: Stellen ohne Speicher, die nichts "
            "hielten und nichts zurücknehmen.\n",
            grouped(restored->unstable - restored->unstabledata).c_str());
    if (restored->unstabledata > 0) {
        say("\n*** %s Bytes, zuerst an Byte %s, liefern bei jedem Lesen anderes, doch "
            "gesichert waren dort Daten: das Gerät hält sie nicht mehr. Das Journal '%s' bleibt liegen, "
            "es hält ihre letzte Fassung. Sichern Sie, was auf dem Gerät liegt.\n",
            grouped(restored->unstabledata).c_str(), grouped(restored->firstunstabledata).c_str(),
            name.c_str());
        kept = true;
    }
    if (kept) {
        closejournal(file.handle);
        return true;
    }
    if (!removejournal(file.handle, name.c_str()))
        say("\nAlles ist wiederhergestellt, aber das Journal '%s' ließ sich nicht entfernen: %s. Es "
            "schadet nicht; löschen Sie die Datei '%s' von Hand.\n",
            name.c_str(), systemreason().c_str(), name.c_str());
    return true;
}

// Why a journal is not written back here, said where it was found.
void devicerun::showforeign(const std::string& candidate, const journalcontents& contents,
                            const placesfound& places, bool own)
{
    if (!own) {
        say("Hier liegt auch das Journal '%s' eines anderen Geräts derselben Größe, von %s. Es gehört "
            "nicht zu diesem und bleibt liegen.\n",
            candidate.c_str(), journaldevice(contents.header).c_str());
        return;
    }
    if (contents.header.size != info.size)
        say("\n*** Das Journal '%s' gehört nicht zu diesem Gerät: es wurde für eines von %s"
            " Bytes geschrieben.\n",
            candidate.c_str(), grouped(contents.header.size).c_str());
    else
        say("\n*** Das Journal '%s' gehört nicht zu diesem Gerät: an Byte %s"
            " steht weder, was es gesichert hat, noch eine Probe seines Laufs.\n",
            candidate.c_str(), grouped(places.at).c_str());
    const bool samename = contents.header.path == chosen.path;
    say("Es stammt von %s%s. Geschrieben wurde nichts, und das Journal bleibt liegen: schließen Sie "
        "jenes Gerät an und starten Sie kapprobe dafür in diesem Verzeichnis. Wurde jenes Gerät "
        "inzwischen neu formatiert oder gibt es es nicht mehr, hat das Journal nichts mehr "
        "zurückzugeben: dann löschen Sie die Datei '%s'.\n",
        journaldevice(contents.header).c_str(),
        samename ? ", einem anderen Gerät, das damals ebenso hieß" : "", candidate.c_str());
}

// A journal of this device whose places show that the device was written
// since its run: writing it back would put what lay there before that run
// over the new data. True when it goes back all the same, as the user
// answered --restore's question at the terminal, or --yes did.
bool devicerun::writeoverchanges(const std::string& candidate, const placesfound& places)
{
    say("\n*** Das Journal '%s' stammt von einem Lauf auf diesem Gerät, doch das Gerät wurde seither "
        "offenbar benutzt: %s Bytes, zuerst an Byte %s, halten weder, was jener Lauf "
        "gesichert hatte, noch seine Proben, und dorthin schrieb er nicht, als er endete. Zurückgeschrieben, "
        "legte das Journal über die neuen Daten, was vor jenem Lauf dort lag.\n",
        candidate.c_str(), grouped(places.changed).c_str(), grouped(places.at).c_str());
    if (chosen.restoreonly && chosen.yes) {
        say("Mit --yes wird es dennoch zurückgeschrieben.\n");
        return true;
    }
    if (chosen.restoreonly && inputfromterminal() &&
        console.ask("Soll es dennoch zurückgeschrieben werden? Dann geben Sie ja ein: ") == "ja")
        return true;
    say("Geschrieben wurde nichts, und das Journal bleibt liegen. Gilt, was jetzt auf dem Gerät liegt, "
        "entfernen Sie das Journal:\n    %s\nSoll doch zurückgeschrieben werden, was jener Lauf "
        "überschrieb:\n    %s\n",
        removecommand(target, candidate).c_str(),
        probecommand(target, "--restore --yes ", chosen.path).c_str());
    return false;
}

// Writes back a journal found here: -1 when it is not this device's and
// the run goes on (*found set when it was, and everything came back), else
// the status to end with. own: the journal bears this device's name, and
// anything but proof that it belongs to another one refuses the run; any
// other journal is written back only where its run's stamps prove it.
int devicerun::restoreone(blockdevice& dev, const std::string& candidate, const std::string& name,
                          std::uint64_t later, bool* found)
{
    const std::string older = journalname(info.size, "");
    bool own = candidate == name || candidate == older;
    journalopen how;
    journalhandle handle = openjournal(candidate.c_str(), &how);
    if (how == journalopen::missing || (how == journalopen::inuse && !own))
        return -1;
    if (how == journalopen::inuse) {
        say("*** Das Journal '%s' ist in Gebrauch: ein anderer Lauf von kapprobe prüft von hier aus ein "
            "Gerät dieser Größe. Warten Sie, bis er endet.\n",
            candidate.c_str());
        return noverdict;
    }
    if (handle == journalhandle::none) {
        say("*** Kann das Journal '%s' nicht öffnen: %s. Es bleibt liegen.\n", candidate.c_str(),
            systemreason().c_str());
        return noverdict;
    }
    journalonfile file(handle);
    journalcontents contents;
    const journalstate state = readjournal(file, &contents);
    if (state == journalstate::empty) {
        // Made, but its header never reached the medium: nothing was overwritten.
        say("Das leere Journal '%s' eines Laufs, der vor seiner ersten Sicherung endete, wird "
            "entfernt.\n",
            candidate.c_str());
        removejournal(handle, candidate.c_str());
        return -1;
    }
    if (state == journalstate::unreadable) {
        say("%sDie Datei '%s' hier ist kein lesbares Journal von kapprobe. Sie bleibt, wie sie ist%s\n",
            own ? "*** " : "", candidate.c_str(),
            own ? ": verschieben Sie sie, oder starten Sie kapprobe in einem anderen Verzeichnis." : ".");
        closejournal(handle);
        return own ? noverdict : -1;
    }
    // An older run's journal, named by the size alone, names no path; one
    // that does is that of another device of this size that tells no identity.
    if (candidate != name && !contents.header.path.empty())
        own = false;
    // The journal's places are written back in its own unit, which any
    // multiple of the device's sector serves.
    const std::uint32_t unit = contents.header.sectorsize;
    const bool fits = contents.header.size == info.size && unit % info.sectorsize == 0;
    blockdevice view(dev.held(), dev.size, fits ? unit : dev.sectorsize);
    const std::uint64_t done = dev.bytesread + dev.byteswritten;
    plannedio = done + 3 * savedbytes(contents) + later;
    placesfound places;
    if (fits)
        places = checkplaces(file, contents, view, progress(), done);
    dev.takeover(view);
    const std::uint64_t checked = dev.bytesread + dev.byteswritten;
    const owner verdict = ownership(places, own);
    if (verdict == owner::foreign) {
        showforeign(candidate, contents, places, own);
        closejournal(handle);
        return own ? noverdict : -1;
    }
    if (verdict == owner::silent) {
        say("\n*** '%s' antwortet nicht: ob das Journal '%s' dazugehört, lässt sich nicht prüfen. Es "
            "bleibt liegen, geschrieben wurde nichts.\n",
            chosen.path, candidate.c_str());
        closejournal(handle);
        return noverdict;
    }
    if (verdict == owner::usedsince && !writeoverchanges(candidate, places)) {
        closejournal(handle);
        return noverdict;
    }
    say("\nEin früherer Lauf wurde unterbrochen: schreibe zuerst zurück, was er überschrieb (Journal "
        "'%s').\n",
        candidate.c_str());
    if (!own)
        say("Es wurde für %s geschrieben; die Proben seines Laufs auf diesem Gerät zeigen, dass es dazu "
            "gehört.\n",
            journaldevice(contents.header).c_str());
    if (places.torn > 0)
        say("%s Bytes, zuerst an Byte %s, hielten weder, was gesichert war, noch eine "
            "Probe des Laufs; dorthin schrieb der Lauf, als er endete, und ein Stromausfall ließ sie halb "
            "geschrieben. Auch sie werden zurückgeschrieben.\n",
            grouped(places.torn).c_str(), grouped(places.tornat).c_str());
    // What goes back is recorded in the journal batch by batch, so that a
    // power cut now leaves it as sure of the device as before.
    journal log(file, view);
    const bool recorded = log.resume(contents);
    restoration restored;
    const bool back = restorejournal(view, file, contents, candidate, checked, later, &restored, {}, false,
                                     recorded ? &log : nullptr);
    dev.takeover(view);
    if (!back) {
        result.verdict = "failed";
        reportrestoration(restored, contents, candidate, file.failure());
        showcost(dev);
        return notrestored;
    }
    say("\nAlles ist wiederhergestellt.\n");
    *found = true;
    if (stopnoticed) {
        result.verdict = "stopped";
        showcost(dev);
        return noverdict;
    }
    return -1;
}

// Writes back every journal that a run left here for this device: -1 when
// there was none (*found false) or everything is back, else the status to
// end with. The run plans later bytes of I/O after it.
int devicerun::restorefound(blockdevice& dev, const std::string& name, std::uint64_t later, bool* found)
{
    for (const std::string& candidate : journalsfor(info.size, name))
        if (const int status = restoreone(dev, candidate, name, later, found); status >= 0)
            return status;
    return -1;
}

// What the journal will hold at most, against the room the current
// directory has for it; true when it fits.
bool devicerun::roomforjournal(const blockdevice& dev, std::uint64_t cachelimit)
{
    const std::uint64_t needed = plannedjournal(dev, cachelimit) + otherroom, free = freebytes();
    if (free < needed) {
        say("*** Im aktuellen Verzeichnis sind nur %s MByte frei; %s bis zu %s"
            " MByte. Wechseln Sie in ein Verzeichnis mit mehr Platz. Mit einer kleineren Grenze für "
            "--cache braucht es weniger, doch dann kann ein größerer Pufferspeicher des Geräts eine "
            "Fälschung verbergen.\n",
            grouped(free / mib).c_str(),
            otherroom > 0 ? "die Journale aller Geräte brauchen zusammen" : "das Journal braucht",
            grouped((needed + mib - 1) / mib).c_str());
        return false;
    }
    if (cachelimit > dev.size / 2)
        say("Die Grenze von %s MByte für den Pufferspeicher ist mehr als die Hälfte des "
            "Geräts; die Prüfung schreibt nach ihren Proben höchstens %s MByte.\n",
            grouped(cachelimit / mib).c_str(), grouped(dev.size / 2 / mib).c_str());
    if (directoryinmemory())
        say("Achtung: das aktuelle Verzeichnis liegt im Arbeitsspeicher; ein Stromausfall nähme das "
            "Journal mit. Sicherer ist ein Verzeichnis auf einer Platte.\n");
    return true;
}

// The probe itself: a journal of its own, the search, everything written
// back, the verdict.
int devicerun::probedevice(blockdevice& dev, const std::string& name)
{
    const std::uint64_t before = dev.bytesread + dev.byteswritten;
    journalopen how;
    const journalhandle handle = createjournal(name.c_str(), &how);
    if (handle == journalhandle::none) {
        if (how == journalopen::inuse)
            say("*** Das Journal '%s' ist in Gebrauch: ein anderer Lauf von kapprobe prüft von hier aus "
                "ein Gerät dieser Größe. Warten Sie, bis er endet.\n",
                name.c_str());
        else
            say("*** Kann das Journal '%s' im aktuellen Verzeichnis nicht anlegen: %s.\n", name.c_str(),
                systemreason().c_str());
        return noverdict;
    }
    journalonfile file(handle);
    journal log(file, dev);
    const std::uint64_t key = runkey();
    if (!log.start({key, dev.size, dev.sectorsize, info.identity, chosen.path})) {
        say("*** Kann das Journal '%s' im aktuellen Verzeichnis nicht anlegen: %s.\n", name.c_str(),
            file.failure().c_str());
        removejournal(handle, name.c_str());
        return noverdict;
    }
    // A run that wrote a journal back first goes on from what that took.
    plannedio = before + plannedbytes(dev, chosen.cachelimit);
    search searching(
        dev, log, key, chosen.cachelimit,
        [this, before](int round, const char* step, std::uint64_t done) {
            showstep(round, step, before + done);
        },
        [this, before](std::uint64_t planned) { plannedio = before + planned; },
        [] { return stoprequested(); });
    const findings found = searching.run();
    noticestop();
    result.found = found;
    result.verdict = stopnoticed ? "stopped" : verdictname(found.outcome);
    const std::string journalfailure = file.failure();
    journalcontents contents;
    restoration restored;
    const bool readable = readjournal(file, &contents) == journalstate::readable;
    // A device that overwrites what it holds may have lost what went back
    // too: its journal stays.
    const bool kept = found.outcome == verdict::overwrites;
    const bool back = readable && restorejournal(dev, file, contents, name, dev.bytesread + dev.byteswritten,
                                                 0, &restored, searching.writtenback(), kept, &log);
    showfinished();
    console.concluded(shortverdict(found, found.outcome == verdict::stopped || stopnoticed, back));
    if (found.outcome == verdict::stopped || stopnoticed) {
        if (back)
            say("\n*** Abgebrochen: alles Überschriebene ist wiederhergestellt.\n");
    } else {
        showverdict(found, name, journalfailure);
        if (back && (found.outcome == verdict::failed || found.outcome == verdict::otherrun))
            say("Alles Überschriebene ist wiederhergestellt.\n");
    }
    if (!readable)
        say("\n*** Das Journal '%s' ließ sich nicht wieder lesen: %s. Es bleibt liegen.\n", name.c_str(),
            file.failure().c_str());
    else if (!back)
        reportrestoration(restored, contents, name, file.failure());
    showcost(dev);
    if (!back)
        return notrestored;
    if (stopnoticed || found.outcome == verdict::stopped || found.outcome == verdict::failed ||
        found.outcome == verdict::lost || found.outcome == verdict::otherrun)
        return noverdict;
    return found.outcome == verdict::sound ? sound : unsound;
}

int devicerun::fix(int status)
{
    if (!chosen.fix)
        return status;
    devicefix fixing(chosen, info, target, journalfile, console);
    status = fixing.make(dev, status, result.found, fittingend);
    result.fixed = fixing.report();
    return status;
}

int devicerun::unfix()
{
    plannedio = 2 * fixbytes;
    devicefix fixing(chosen, info, target, journalfile, console);
    return fixing.undo(*dev, progress(), [this] { showfinished(); });
}

devicerun::~devicerun() = default;

bool devicerun::open()
{
    const char* path = chosen.path;
    devicehandle handle = opendevice(path, &info);
    if (handle == devicehandle::none) {
        result.message = refusaltext(path, info);
        say("%s", result.message.c_str());
        return false;
    }
    if (info.size < smallest) {
        result.message = formatted("*** '%s' ist mit %s Bytes zu klein für eine Prüfung.\n", path,
                                   grouped(info.size).c_str());
        say("%s", result.message.c_str());
        return false;
    }
    const std::uint32_t unit = probeunit(info.sectorsize, info.physicalsize);
    // The size as on the package, beside the exact bytes; the maker and model
    // as the system names them (for a loop device its file).
    say("Gerät '%s'%s: %s (%s Bytes), Sektoren zu %" PRIu32 " Bytes", path,
        info.identity.empty() ? "" : (" (" + info.identity + ")").c_str(), packagesize(info.size).c_str(),
        grouped(info.size).c_str(), info.sectorsize);
    if (unit != info.sectorsize)
        say(", physisch zu %" PRIu32 " Bytes, in denen die Prüfung arbeitet", unit);
    say("\n");
    target = {thissystem(), info.node, info.disknumber, privileged()};
    journalfile = journalname(info.size, info.identity);
    // Writing back alone gives no verdict.
    if (chosen.restoreonly || chosen.unfix != nullptr)
        result.verdict.clear();
    dev = std::make_unique<blockdevice>(handle, info.size, unit);
    catchstops();
    return true;
}

std::uint64_t devicerun::journalroom() const
{
    return chosen.restoreonly ? 0 : plannedjournal(*dev, chosen.cachelimit);
}

int devicerun::restoreearlier()
{
    bool restored = false;
    const std::uint64_t later = chosen.restoreonly ? 0 : plannedbytes(*dev, chosen.cachelimit);
    if (int status = restorefound(*dev, journalfile, later, &restored); status >= 0)
        return status;
    if (!chosen.restoreonly)
        return -1;
    if (restored) {
        showcost(*dev);
        return sound;
    }
    say("Hier liegt kein Journal für dieses Gerät ('%s'): nichts zurückzuschreiben.\n", journalfile.c_str());
    return noverdict;
}

int devicerun::probe()
{
    if (!roomforjournal(*dev, chosen.cachelimit))
        return noverdict;
    return probedevice(*dev, journalfile);
}

int devicerun::proceed()
{
    const int status = restoreearlier();
    return status >= 0 ? status : probe();
}

int devicerun::go()
{
    if (!open())
        result.status = noverdict;
    else if (chosen.unfix != nullptr)
        result.status = unfix();
    else
        result.status = fix(proceed());
    return result.status;
}

} // namespace probe
