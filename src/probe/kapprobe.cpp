// kapprobe: tells in minutes whether a card holds what it claims, by writing
// self-describing probes at chosen places of the raw device and reading them
// back. Everything it overwrites goes to an undo journal in the current
// directory first and is written back at the end, also after an interrupt,
// and by the next run after a crash.
#include "console/liveline.h"
#include "platform/blockdevice.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/journalfile.h"
#include "platform/process.h"
#include "probe/advice.h"
#include "probe/journal.h"
#include "probe/search.h"
#include "probe/stamp.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char usage[] = "Aufruf: kapprobe [--cache <MByte>] [--restore] <Gerät>\n"
                         "        <Gerät>    das ganze Gerät, etwa /dev/sdb oder unter Windows E:\n"
                         "        --cache    so viel Zwischenspeicher des Geräts schließt die Probe aus\n"
                         "                   (Vorgabe 512 MByte)\n"
                         "        --restore  nur zurückschreiben, was ein abgebrochener Lauf überschrieb\n";

// The exit statuses: no sign of a counterfeit; no verdict (every byte back);
// counterfeit or damaged; something not written back.
constexpr int sound = 0, noverdict = 1, unsound = 2, notrestored = 4;
constexpr std::uint64_t mib = 1 << 20;
// Room for the untouched first MiB and a few MiB of probes around it.
constexpr std::uint64_t smallest = 16 * mib;
// A usable size below this leaves no room for a partition behind the first MiB.
constexpr std::uint64_t unusable = 2 * mib;

struct options {
    std::uint64_t cachelimit = probe::defaultcachelimit;
    bool restoreonly = false;
    const char* path = nullptr;
};

// The device that kapprobe opened, counting what goes each way.
class blockdevice : public probe::device {
  public:
    blockdevice(devicehandle handle, std::uint64_t size, std::uint32_t unit)
        : device(size, unit), handle(handle)
    {
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        bytesread += size;
        return readdevice(handle, offset, data, size) || failed();
    }

    bool write(std::uint64_t offset, const unsigned char* data, std::size_t size) override
    {
        byteswritten += size;
        return writedevice(handle, offset, data, size) || failed();
    }

    bool settle() override
    {
        return (flushdevice(handle) && reopendevice(&handle)) || failed();
    }

    std::string failure() const override
    {
        return reason;
    }

    devicehandle held() const
    {
        return handle;
    }

    // Goes on where other, a view of the same device in another unit, left
    // off: with its handle, which settling may have opened anew, and its I/O.
    void takeover(blockdevice& other)
    {
        handle = other.handle;
        bytesread += std::exchange(other.bytesread, 0);
        byteswritten += std::exchange(other.byteswritten, 0);
    }

    std::uint64_t bytesread = 0;
    std::uint64_t byteswritten = 0;

  private:
    bool failed()
    {
        reason = systemreason();
        return false;
    }

    devicehandle handle;
    std::string reason;
};

// The journal's file in the current directory.
class journalonfile : public probe::journalfile {
  public:
    explicit journalonfile(journalhandle handle) : handle(handle) {}

    bool append(const unsigned char* data, std::size_t size) override
    {
        return appendjournal(handle, data, size) || failed();
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        return readjournal(handle, offset, data, size) || failed();
    }

    bool sync() override
    {
        return syncjournal(handle) || failed();
    }

    std::uint64_t size() override
    {
        return journalsize(handle);
    }

    std::string failure() const
    {
        return reason;
    }

    const journalhandle handle;

  private:
    bool failed()
    {
        reason = systemreason();
        return false;
    }

    std::string reason;
};

// The console: a line per step, which on a terminal moves on with the share
// of the planned I/O done, the rate and the time still to go; into a file or
// a pipe each step gets a line of its own. The share follows the plan as it
// changes, never goes back, and shows 100% at the end.
bool onterminal;
std::uint64_t plannedio;
int shownshare;
std::string shownstep;
bool stopnoticed;

// Says once, as soon as a stop is asked for, that the run now writes back.
void noticestop()
{
    if (stopnoticed || !stoprequested())
        return;
    stopnoticed = true;
    std::printf("\n*** Abbruch: stelle wieder her, was überschrieben wurde. Nicht abziehen!\n");
    std::fflush(stdout);
}

std::string stepline(int round, const char* step)
{
    char line[120];
    if (round > 0)
        std::snprintf(line, sizeof line, "Runde %d: %s (insgesamt erledigt: %d%%)", round, step, shownshare);
    else
        std::snprintf(line, sizeof line, "%s (insgesamt erledigt: %d%%)", step, shownshare);
    return line;
}

void showstep(int round, const char* step, std::uint64_t done)
{
    noticestop();
    const auto share =
        static_cast<int>(std::min<std::uint64_t>(99, done * 100 / std::max(plannedio, done + 1)));
    shownshare = std::max(shownshare, share);
    const std::string line = stepline(round, step);
    const std::string which = std::to_string(round) + step;
    if (which != shownstep) {
        shownstep = which;
        if (onterminal)
            showline(line.c_str(), "", false, onterminal);
        else
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return;
    }
    std::int64_t now;
    if (onterminal && QueryPerformanceCounter(&now) && livedue(now))
        showline(line.c_str(),
                 livefigures(now, static_cast<std::int64_t>(done),
                             static_cast<std::int64_t>(plannedio - std::min(plannedio, done))),
                 true, onterminal);
}

// The last step's line at 100%, where a terminal shows it.
void showfinished()
{
    if (!onterminal || shownstep.empty())
        return;
    shownshare = 100;
    showline(stepline(0, "Fertig").c_str(), "", false, onterminal);
}

// Reads the command line into chosen; -1 to go on, else the status to end with.
int readoptions(int argc, char** argv, options* chosen)
{
    for (int i = 1; i < argc; i++) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::printf("%s", usage);
            return 0;
        }
        if (argument == "--version")
            return 0;
        if (argument == "--restore") {
            chosen->restoreonly = true;
        } else if (argument == "--cache" || argument.rfind("--cache=", 0) == 0) {
            char* end = nullptr;
            const char* value = argument != "--cache" ? argv[i] + std::strlen("--cache=")
                                : i + 1 < argc        ? argv[++i]
                                                      : "";
            const unsigned long long size = std::strtoull(value, &end, 10);
            if (*value < '0' || *value > '9' || *end != '\0' || size == 0 ||
                size > (std::uint64_t{1} << 30)) {
                std::printf("*** Ungültige Grenze für --cache: '%s' (ganze MByte, etwa 512)\n", value);
                return noverdict;
            }
            chosen->cachelimit = size * mib;
        } else if (argument[0] == '-') {
            std::printf("*** Unbekannte Option '%s'\n%s", argv[i], usage);
            return noverdict;
        } else if (chosen->path == nullptr) {
            chosen->path = argv[i];
        } else {
            std::printf("%s", usage);
            return noverdict;
        }
    }
    if (chosen->path != nullptr)
        return -1;
    std::printf("%s", usage);
    return noverdict;
}

int refused(const char* path, const deviceinfo& info)
{
    const probe::partitiontarget whole{thissystem(), info.whole, -1, privileged()};
    switch (info.why) {
    case refusal::notfound:
        std::printf("*** '%s' gibt es nicht: %s.\n", path, info.reason.c_str());
        break;
    case refusal::notblockdevice:
        std::printf("*** '%s' ist kein Blockgerät. Geben Sie das ganze Gerät an, etwa /dev/sdb oder unter "
                    "Windows E:.\n",
                    path);
        break;
    case refusal::partition:
        std::printf("*** '%s' ist eine Partition. Geprüft wird nur das ganze Gerät: %s\n", path,
                    probe::probecommand(whole, "", info.whole).c_str());
        break;
    case refusal::systemdisk:
        std::printf("*** '%s' liegt auf derselben Platte wie %s, Windows oder das aktuelle Verzeichnis.\n",
                    path, info.whole.c_str());
        break;
    case refusal::mounted: {
        const std::string unmount = probe::unmountcommand({thissystem(), info.node, -1, privileged()});
        std::printf(
            "*** '%s' oder eine seiner Partitionen ist unter '%s' eingehängt. Hängen Sie es zuerst aus%s%s\n",
            path, info.whole.c_str(), unmount.empty() ? "." : ":\n    ", unmount.c_str());
        break;
    }
    case refusal::notpermitted:
        std::printf(
            "*** Keine Berechtigung, '%s' zu öffnen (%s). Starten Sie kapprobe mit sudo, unter Windows "
            "in einer Eingabeaufforderung als Administrator.\n",
            path, info.reason.c_str());
        break;
    default:
        std::printf("*** Kann '%s' nicht für sich allein öffnen: %s\n", path, info.reason.c_str());
        break;
    }
    return noverdict;
}

// The device a journal was written for, as its header tells.
std::string journaldevice(const probe::journalheader& header)
{
    if (header.path.empty())
        return "einem Gerät von " + std::to_string(header.size) + " Bytes";
    return "'" + header.path + "' (" + (header.identity.empty() ? "" : header.identity + ", ") +
           std::to_string(header.size) + " Bytes)";
}

struct run {
    options chosen;
    deviceinfo info;
    probe::partitiontarget target;
    std::int64_t frequency = 0;
    std::int64_t starttime = 0;
};

// Tells what did not come back, and how to write it back again.
void reportrestoration(const run& now, const probe::restoration& restored,
                       const probe::journalcontents& contents, const std::string& name,
                       const std::string& journalfailure)
{
    std::printf("\n*** Nicht alles ist wiederhergestellt.\n");
    if (contents.damaged)
        std::printf(
            "Das Journal '%s' ist beschädigt: ein bestätigter Eintrag ist nicht mehr lesbar; was davor "
            "stand, ist zurückgeschrieben.\n",
            name.c_str());
    if (restored.unreadable)
        std::printf("Das Journal '%s' ließ sich nicht ganz lesen: %s.\n", name.c_str(),
                    journalfailure.c_str());
    if (restored.failed > 0)
        std::printf("%" PRIu64 " Stellen nahm das Gerät nicht an, die erste bei Byte %" PRIu64 ": %s.\n",
                    restored.failed, restored.firstfailed, restored.failure.c_str());
    if (restored.unflushed)
        std::printf("Das Gerät bestätigte nicht, dass das Zurückgeschriebene auf dem Medium steht: %s.\n",
                    restored.flushfailure.c_str());
    if (restored.wrong > 0)
        std::printf("%" PRIu64 " Bytes kamen nicht so zurück, wie sie gesichert waren, zwischen Byte %" PRIu64
                    " und Byte %" PRIu64 ".\n",
                    restored.wrong, restored.firstwrong, restored.lastwrong);
    std::printf("Das Journal '%s' bleibt liegen. In diesem Verzeichnis schreibt\n    %s\nalles noch einmal "
                "zurück, ohne neu zu proben (ein abgezogenes Gerät zuerst wieder anschließen).\n",
                name.c_str(), probe::probecommand(now.target, "--restore ", now.chosen.path).c_str());
}

void showcost(const run& now, const blockdevice& dev)
{
    std::int64_t end = now.starttime;
    QueryPerformanceCounter(&end);
    const auto seconds = static_cast<long long>((end - now.starttime) / now.frequency);
    std::printf("Dauer %lld:%02lld, geschrieben %" PRIu64 " Bytes, gelesen %" PRIu64 " Bytes.\n",
                seconds / 60, seconds % 60, dev.byteswritten, dev.bytesread);
}

// Writes back the committed records of an open journal through dev, but
// only checks the places within back, which the run wrote back itself; true
// when every byte came back, after which the journal is removed, else it is
// kept and restored says what did not come back. The run plans later bytes
// of I/O after it.
bool restorejournal(blockdevice& dev, journalonfile& file, const probe::journalcontents& contents,
                    const std::string& name, std::uint64_t done, std::uint64_t later,
                    probe::restoration* restored, const std::vector<probe::stretch>& back = {})
{
    const std::uint64_t backbytes =
        std::accumulate(back.begin(), back.end(), std::uint64_t{0},
                        [](std::uint64_t sum, const probe::stretch& it) { return sum + it.size; });
    plannedio =
        done + 2 * probe::savedbytes(contents) - std::min(backbytes, probe::savedbytes(contents)) + later;
    *restored = probe::restore(file, contents, dev, showstep, done, back);
    if (!restored->complete(contents)) {
        closejournal(file.handle);
        return false;
    }
    if (restored->unstable > 0)
        std::printf("\n%" PRIu64
                    " Bytes lieferten bei jedem Lesen anderes: Stellen ohne Speicher, die nichts "
                    "hielten und nichts zurücknehmen.\n",
                    restored->unstable);
    if (!removejournal(file.handle, name.c_str()))
        std::printf("\nAlles ist wiederhergestellt, aber das Journal '%s' ließ sich nicht entfernen: %s. Es "
                    "schadet nicht; löschen Sie es.\n",
                    name.c_str(), systemreason().c_str());
    return true;
}

// The journals a run may have left here for this device: its own name, an
// older run's name by the size alone, and every other journal of a device of
// this size, which may be this one under another identity (another reader
// or port, a loop device over a renamed image).
std::vector<std::string> journalsfor(std::uint64_t size, const std::string& name)
{
    std::vector<std::string> names = {name};
    const std::string older = probe::journalname(size, "");
    if (older != name)
        names.push_back(older);
    const std::string prefix = "kapprobe-" + std::to_string(size) + "-";
    const std::vector<std::string> others = journalsin(prefix);
    std::copy_if(others.begin(), others.end(), std::back_inserter(names),
                 [&name](const std::string& other) { return other != name; });
    return names;
}

// Why a journal is not written back here, said where it was found.
void showforeign(const run& now, const std::string& candidate, const probe::journalcontents& contents,
                 const probe::ownership& owner, bool own)
{
    if (!own) {
        std::printf(
            "Hier liegt auch das Journal '%s' eines anderen Geräts derselben Größe, von %s. Es gehört "
            "nicht zu diesem und bleibt liegen.\n",
            candidate.c_str(), journaldevice(contents.header).c_str());
        return;
    }
    if (contents.header.size != now.info.size)
        std::printf("\n*** Das Journal '%s' gehört nicht zu diesem Gerät: es wurde für eines von %" PRIu64
                    " Bytes geschrieben.\n",
                    candidate.c_str(), contents.header.size);
    else
        std::printf("\n*** Das Journal '%s' gehört nicht zu diesem Gerät: an Byte %" PRIu64
                    " steht weder, was es gesichert hat, noch eine Probe seines Laufs.\n",
                    candidate.c_str(), owner.at);
    const bool samename = contents.header.path == now.chosen.path;
    std::printf("Es stammt von %s%s. Geschrieben wurde nichts, und das Journal bleibt liegen: schließen Sie "
                "jenes Gerät an und starten Sie kapprobe dafür in diesem Verzeichnis. Wurde jenes Gerät "
                "inzwischen neu formatiert oder gibt es es nicht mehr, hat das Journal nichts mehr "
                "zurückzugeben: dann löschen Sie es.\n",
                journaldevice(contents.header).c_str(),
                samename ? ", einem anderen Gerät, das damals ebenso hieß" : "");
}

// Writes back a journal found here: -1 when it is not this device's and
// the run goes on (*found set when it was, and everything came back), else
// the status to end with. own: the journal bears this device's name, and
// anything but proof that it belongs to another one refuses the run; any
// other journal is written back only where its run's stamps prove it.
int restoreone(const run& now, blockdevice& dev, const std::string& candidate, const std::string& name,
               std::uint64_t later, bool* found)
{
    const std::string older = probe::journalname(now.info.size, "");
    bool own = candidate == name || candidate == older;
    journalopen how;
    journalhandle handle = openjournal(candidate.c_str(), &how);
    if (how == journalopen::missing || (how == journalopen::inuse && !own))
        return -1;
    if (how == journalopen::inuse) {
        std::printf(
            "*** Das Journal '%s' ist in Gebrauch: ein anderer Lauf von kapprobe prüft von hier aus ein "
            "Gerät dieser Größe. Warten Sie, bis er endet.\n",
            candidate.c_str());
        return noverdict;
    }
    if (handle == journalhandle::none) {
        std::printf("*** Kann das Journal '%s' nicht öffnen: %s. Es bleibt liegen.\n", candidate.c_str(),
                    systemreason().c_str());
        return noverdict;
    }
    journalonfile file(handle);
    probe::journalcontents contents;
    const probe::journalstate state = probe::readjournal(file, &contents);
    if (state == probe::journalstate::empty) {
        // Made, but its header never reached the medium: nothing was overwritten.
        std::printf("Das leere Journal '%s' eines Laufs, der vor seiner ersten Sicherung endete, wird "
                    "entfernt.\n",
                    candidate.c_str());
        removejournal(handle, candidate.c_str());
        return -1;
    }
    if (state == probe::journalstate::unreadable) {
        std::printf(
            "%sDie Datei '%s' hier ist kein lesbares Journal von kapprobe. Sie bleibt, wie sie ist%s\n",
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
    const bool fits = contents.header.size == now.info.size && unit % now.info.sectorsize == 0;
    blockdevice view(dev.held(), dev.size, fits ? unit : dev.sectorsize);
    const std::uint64_t done = dev.bytesread + dev.byteswritten;
    plannedio = done + 3 * probe::savedbytes(contents) + later;
    probe::ownership owner{probe::ownership::foreign, 0, 0, 0};
    if (fits)
        owner = probe::checkowner(file, contents, view, showstep, done);
    dev.takeover(view);
    const std::uint64_t checked = dev.bytesread + dev.byteswritten;
    const bool proven = owner.verdict == probe::ownership::belongs && (own || owner.stamped > 0);
    if (!proven && (!own || owner.verdict == probe::ownership::foreign)) {
        showforeign(now, candidate, contents, owner, own);
        closejournal(handle);
        return own ? noverdict : -1;
    }
    if (!proven) {
        std::printf("\n*** '%s' antwortet nicht: ob das Journal '%s' dazugehört, lässt sich nicht prüfen. Es "
                    "bleibt liegen, geschrieben wurde nichts.\n",
                    now.chosen.path, candidate.c_str());
        closejournal(handle);
        return noverdict;
    }
    std::printf("\nEin früherer Lauf wurde unterbrochen: schreibe zuerst zurück, was er überschrieb (Journal "
                "'%s').\n",
                candidate.c_str());
    if (!own)
        std::printf(
            "Es wurde für %s geschrieben; die Proben seines Laufs auf diesem Gerät zeigen, dass es dazu "
            "gehört.\n",
            journaldevice(contents.header).c_str());
    if (owner.neither > 0)
        std::printf("%" PRIu64 " Bytes, zuerst an Byte %" PRIu64
                    ", hielten weder, was gesichert war, noch eine Probe des Laufs: dort schrieb ein "
                    "Stromausfall nur halb, oder das Gerät veränderte sie selbst. Auch sie werden "
                    "zurückgeschrieben.\n",
                    owner.neither, owner.at);
    probe::restoration restored;
    const bool back = restorejournal(view, file, contents, candidate, checked, later, &restored);
    dev.takeover(view);
    if (!back) {
        reportrestoration(now, restored, contents, candidate, file.failure());
        showcost(now, dev);
        return notrestored;
    }
    std::printf("\nAlles ist wiederhergestellt.\n");
    *found = true;
    if (stopnoticed) {
        showcost(now, dev);
        return noverdict;
    }
    return -1;
}

// Writes back every journal that a run left here for this device: -1 when
// there was none (*found false) or everything is back, else the status to
// end with. The run plans later bytes of I/O after it.
int restorefound(const run& now, blockdevice& dev, const std::string& name, std::uint64_t later, bool* found)
{
    for (const std::string& candidate : journalsfor(now.info.size, name))
        if (const int status = restoreone(now, dev, candidate, name, later, found); status >= 0)
            return status;
    return -1;
}

// What a counterfeit device does behind its usable size.
void showbeyond(const probe::findings& found)
{
    switch (found.what) {
    case probe::beyond::wraps:
        std::printf("Dahinter beginnen die Adressen von vorn: Byte %" PRIu64
                    " ist wieder Byte 0, und was dort geschrieben wird, überschreibt den Anfang.\n",
                    found.distance);
        break;
    case probe::beyond::mirrors:
        std::printf("Dahinter liest das Medium noch einmal den Anfang: Byte %" PRIu64
                    " liefert, was an Byte 0 steht, und was dort geschrieben wird, geht verloren.\n",
                    found.distance);
        break;
    case probe::beyond::shares:
        std::printf("Dahinter teilen sich Stellen ihren Speicher: an Byte %" PRIu64
                    " stand, was an Byte %" PRIu64 " geschrieben wurde.\n",
                    found.reader, found.writer);
        break;
    case probe::beyond::zeros:
    case probe::beyond::ones:
    case probe::beyond::stale:
        std::printf("Was dahinter geschrieben wird, geht verloren: gelesen werden %s.\n",
                    found.what == probe::beyond::zeros  ? "Nullen"
                    : found.what == probe::beyond::ones ? "Bytes 0xff"
                                                        : "alte Daten");
        break;
    case probe::beyond::unreadable:
        std::printf("Dahinter meldet das Medium Lesefehler.\n");
        break;
    }
    if (found.distance != 0 && found.what != probe::beyond::wraps && found.what != probe::beyond::mirrors) {
        if (found.round == probe::beyond::wraps)
            std::printf("Ab Byte %" PRIu64 " beginnen die Adressen von vorn: es ist wieder Byte 0, und was "
                        "dort geschrieben wird, überschreibt den Anfang.\n",
                        found.distance);
        else
            std::printf("Ab Byte %" PRIu64 " liest das Medium noch einmal den Anfang: es liefert, was an "
                        "Byte 0 steht.\n",
                        found.distance);
    }
}

void showverdict(const run& now, const probe::findings& found, const std::string& name,
                 const std::string& journalfailure)
{
    switch (found.outcome) {
    case probe::verdict::sound:
        std::printf(
            "\nKein Anzeichen einer Fälschung: alle %" PRIu64 " geprüften Stellen behielten ihre Daten, auch "
            "nachdem %" PRIu64 " MByte anderes geschrieben waren.\nDas schließt einen Zwischenspeicher aus, "
            "der jeden oder jeden verändernden Schreibvorgang nimmt, bis %" PRIu64
            " MByte, einen, der nur Schreibvorgänge bis 4 KiB nimmt, bis %" PRIu64
            " MByte, und einen, der nur Schreibvorgänge an Stellen ohne Speicher nimmt, bis %" PRIu64
            " MByte, wenn dem Medium wenigstens die letzten %" PRIu64
            " MByte fehlen; fehlt ihm weniger, als sein Zwischenspeicher hält, verhält es sich wie ein "
            "echtes, "
            "bis es vom Strom getrennt wird.\nDie Probe prüft Stichproben und kann nicht jeden Fehler "
            "ausschließen: ein Medium, das alles Geschriebene irgendwo ablegt, bis es voll ist, fällt ihr "
            "nicht "
            "auf. Gewissheit über jeden Block gibt kapmess, das die ganze Kapazität beschreibt und liest.\n",
            found.probed, found.flushed / mib, found.flushed / mib, found.flushed / 8 / mib,
            found.flushed / mib, (found.flushspan + mib - 1) / mib);
        break;
    case probe::verdict::overwrites:
        std::printf(
            "\nAnzeichen einer Fälschung: das erste MByte hat sich verändert, obwohl kapprobe es nie "
            "beschreibt.\nDas Medium legt Geschriebenes offenbar irgendwo ab und überschreibt dafür, was "
            "schon darauf liegt. Das erste MByte ist zurückgeschrieben; anderes kann verloren sein. Prüfen "
            "Sie das Medium mit kapmess über die ganze Kapazität.\n");
        break;
    case probe::verdict::counterfeit: {
        const std::uint64_t usablemib = found.usable / mib;
        if (found.usable < unusable) {
            std::printf("\nGefälscht und unbrauchbar: nur die ersten %" PRIu64
                        " Bytes der gemeldeten %" PRIu64
                        " Bytes behalten ihre Daten, zu wenig für eine Partition.\n",
                        found.usable, now.info.size);
            showbeyond(found);
            std::printf("Speichern Sie nichts auf diesem Medium.\n");
            break;
        }
        std::printf("\nGefälscht: nutzbar sind nur die ersten %" PRIu64 " Bytes (%" PRIu64
                    " MByte) der gemeldeten %" PRIu64 " Bytes.\n",
                    found.usable, usablemib, now.info.size);
        showbeyond(found);
        std::printf("Nutzen Sie nur die ersten %" PRIu64 " MByte, etwa mit einer Partition dieser Größe (das "
                    "löscht alles auf dem Medium):\n%sund prüfen Sie sie danach mit kapmess.\n",
                    usablemib, probe::partitioncommands(now.target, usablemib).c_str());
        break;
    }
    case probe::verdict::damaged:
        std::printf("\nBeschädigt: %" PRIu64 " von %" PRIu64 " geprüften Stellen (%" PRIu64
                    " %%) verloren ihre Daten oder meldeten Fehler, von Byte %" PRIu64 " (%" PRIu64
                    " MByte) bis Byte %" PRIu64 " (%" PRIu64
                    " MByte).\nSichern Sie, was darauf liegt, und benutzen Sie das Medium nicht weiter.\n",
                    found.badplaces, found.probed,
                    found.badplaces * 100 / std::max<std::uint64_t>(1, found.probed), found.firstbad,
                    found.firstbad / mib, found.lastbad, found.lastbad / mib);
        break;
    case probe::verdict::lost:
        std::printf(
            "\n*** '%s' antwortet nicht mehr, auch nicht an seinem Anfang: abgezogen oder ausgefallen. "
            "Die Probe endet ohne Urteil.\n",
            now.chosen.path);
        break;
    case probe::verdict::failed:
        std::printf("\n*** Das Journal '%s' nimmt nichts mehr auf (%s): die Probe endet ohne Urteil.\n",
                    name.c_str(), journalfailure.c_str());
        break;
    case probe::verdict::otherrun:
        std::printf("\n*** An Byte %" PRIu64 " steht eine Probe eines anderen Laufs von kapprobe, der "
                    "abgebrochen wurde und noch nicht zurückgeschrieben hat. Sein Journal liegt nicht hier, "
                    "sondern in dem Verzeichnis, in dem er gestartet wurde, und heißt 'kapprobe-%" PRIu64
                    "-….undo'. Starten Sie dort\n    %s\nEin Urteil gibt es erst danach: jetzt übersähe es, "
                    "was jener Lauf überschrieb.\n",
                    found.firstbad, now.info.size,
                    probe::probecommand(now.target, "--restore ", now.chosen.path).c_str());
        break;
    case probe::verdict::stopped:
        break;
    }
}

// What the journal will hold at most, against the room the current
// directory has for it; true when it fits.
bool roomforjournal(const blockdevice& dev, std::uint64_t cachelimit)
{
    const std::uint64_t needed = probe::plannedjournal(dev, cachelimit), free = freebytes();
    if (free < needed) {
        std::printf("*** Im aktuellen Verzeichnis sind nur %" PRIu64
                    " MByte frei; das Journal braucht bis zu "
                    "%" PRIu64 " MByte. Wechseln Sie in ein Verzeichnis mit mehr Platz. Mit einer kleineren "
                    "Grenze für --cache braucht es weniger, doch dann kann ein größerer Zwischenspeicher des "
                    "Geräts eine Fälschung verbergen.\n",
                    free / mib, (needed + mib - 1) / mib);
        return false;
    }
    if (cachelimit > dev.size / 2)
        std::printf("Die Grenze von %" PRIu64 " MByte für den Zwischenspeicher ist mehr als die Hälfte des "
                    "Geräts; die Probe schreibt nach ihren Proben höchstens %" PRIu64 " MByte.\n",
                    cachelimit / mib, dev.size / 2 / mib);
    if (directoryinmemory())
        std::printf("Achtung: das aktuelle Verzeichnis liegt im Arbeitsspeicher; ein Stromausfall nähme das "
                    "Journal mit. Sicherer ist ein Verzeichnis auf einer Platte.\n");
    return true;
}

std::uint64_t runkey()
{
    std::random_device entropy;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (static_cast<std::uint64_t>(entropy()) << 32 | entropy()) ^ now;
}

// The probe itself: a journal of its own, the search, everything written
// back, the verdict.
int probedevice(const run& now, blockdevice& dev, const std::string& name)
{
    const std::uint64_t before = dev.bytesread + dev.byteswritten;
    journalopen how;
    const journalhandle handle = createjournal(name.c_str(), &how);
    if (handle == journalhandle::none) {
        if (how == journalopen::inuse)
            std::printf(
                "*** Das Journal '%s' ist in Gebrauch: ein anderer Lauf von kapprobe prüft von hier aus "
                "ein Gerät dieser Größe. Warten Sie, bis er endet.\n",
                name.c_str());
        else
            std::printf("*** Kann das Journal '%s' im aktuellen Verzeichnis nicht anlegen: %s.\n",
                        name.c_str(), systemreason().c_str());
        return noverdict;
    }
    journalonfile file(handle);
    probe::journal log(file, dev);
    const std::uint64_t key = runkey();
    if (!log.start({key, dev.size, dev.sectorsize, now.info.identity, now.chosen.path})) {
        std::printf("*** Kann das Journal '%s' im aktuellen Verzeichnis nicht anlegen: %s.\n", name.c_str(),
                    file.failure().c_str());
        removejournal(handle, name.c_str());
        return noverdict;
    }
    // A run that wrote a journal back first goes on from what that took.
    plannedio = before + probe::plannedbytes(dev, now.chosen.cachelimit);
    probe::search search(
        dev, log, key, now.chosen.cachelimit,
        [before](int round, const char* step, std::uint64_t done) { showstep(round, step, before + done); },
        [before](std::uint64_t planned) { plannedio = before + planned; }, [] { return stoprequested(); });
    const probe::findings found = search.run();
    noticestop();
    const std::string journalfailure = file.failure();
    probe::journalcontents contents;
    probe::restoration restored;
    const bool readable = probe::readjournal(file, &contents) == probe::journalstate::readable;
    const bool back = readable && restorejournal(dev, file, contents, name, dev.bytesread + dev.byteswritten,
                                                 0, &restored, search.writtenback());
    showfinished();
    if (found.outcome == probe::verdict::stopped || stopnoticed) {
        if (back)
            std::printf("\n*** Abgebrochen: alles Überschriebene ist wiederhergestellt.\n");
    } else {
        showverdict(now, found, name, journalfailure);
        if (back && (found.outcome == probe::verdict::failed || found.outcome == probe::verdict::otherrun))
            std::printf("Alles Überschriebene ist wiederhergestellt.\n");
    }
    if (!readable)
        std::printf("\n*** Das Journal '%s' ließ sich nicht wieder lesen: %s. Es bleibt liegen.\n",
                    name.c_str(), file.failure().c_str());
    else if (!back)
        reportrestoration(now, restored, contents, name, file.failure());
    showcost(now, dev);
    if (!back)
        return notrestored;
    if (stopnoticed || found.outcome == probe::verdict::stopped || found.outcome == probe::verdict::failed ||
        found.outcome == probe::verdict::lost || found.outcome == probe::verdict::otherrun)
        return noverdict;
    return found.outcome == probe::verdict::sound ? sound : unsound;
}

} // namespace

int main(int argc, char** argv)
{
    openstandardstreams();
    setupconsole();
    onterminal = terminalcolumns() > 0;
    std::printf("Kapprobe -- Schnellprüfung auf gefälschte Kapazität, von den Kapmess-Autoren\n");
    std::printf("Version %s, Copyright (c) 2026 die Kapmess-Autoren\n", KAPMESS_VERSION);
    run now;
    if (int status = readoptions(argc, argv, &now.chosen); status >= 0)
        return status;
    if (!QueryPerformanceFrequency(&now.frequency) || !QueryPerformanceCounter(&now.starttime)) {
        std::printf("*** Kein Zeitgeber.\n");
        return noverdict;
    }
    const char* path = now.chosen.path;
    devicehandle handle = opendevice(path, &now.info);
    if (handle == devicehandle::none)
        return refused(path, now.info);
    if (now.info.size < smallest) {
        std::printf("*** '%s' ist mit %" PRIu64 " Bytes zu klein für eine Probe.\n", path, now.info.size);
        return noverdict;
    }
    const std::uint32_t unit = probe::probeunit(now.info.sectorsize, now.info.physicalsize);
    std::printf("Gerät '%s': %" PRIu64 " Bytes (%" PRIu64 " MByte), Sektoren zu %" PRIu32 " Bytes", path,
                now.info.size, now.info.size / mib, now.info.sectorsize);
    if (unit != now.info.sectorsize)
        std::printf(", physisch zu %" PRIu32 " Bytes, in denen die Probe arbeitet", unit);
    std::printf("\n");
    now.target = {thissystem(), now.info.node, now.info.disknumber, privileged()};
    blockdevice dev(handle, now.info.size, unit);
    catchstops();
    livestart(now.starttime, now.frequency);

    const std::string name = probe::journalname(now.info.size, now.info.identity);
    bool restored = false;
    const std::uint64_t later = now.chosen.restoreonly ? 0 : probe::plannedbytes(dev, now.chosen.cachelimit);
    if (int status = restorefound(now, dev, name, later, &restored); status >= 0)
        return status;
    if (now.chosen.restoreonly) {
        if (restored) {
            showcost(now, dev);
            return sound;
        }
        std::printf("Hier liegt kein Journal für dieses Gerät ('%s'): nichts zurückzuschreiben.\n",
                    name.c_str());
        return noverdict;
    }
    if (!roomforjournal(dev, now.chosen.cachelimit))
        return noverdict;
    return probedevice(now, dev, name);
}
