// kapprobe: tells in minutes whether a card holds what it claims, by writing
// self-describing probes at chosen places of the raw device and reading them
// back. Everything it overwrites goes to an undo journal in the current
// directory first and is written back at the end, also after an interrupt,
// and by the next run after a crash.
#include "console/liveline.h"
#include "platform/platform.h"
#include "probe/journal.h"
#include "probe/search.h"
#include "probe/stamp.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

constexpr char usage[] = "Aufruf: kapprobe <Gerät>\n"
                         "        <Gerät> das ganze Gerät, etwa /dev/sdb oder unter Windows E:\n";

// The exit statuses: no sign of a counterfeit; no verdict (every byte back);
// counterfeit or damaged; something not written back.
constexpr int sound = 0, noverdict = 1, unsound = 2, notrestored = 4;
constexpr std::uint64_t mib = 1 << 20;
// Room for the untouched first MiB and a few MiB of probes around it.
constexpr std::uint64_t smallest = 16 * mib;

const char* path;
devicehandle device;
deviceinfo info;
std::uint64_t bytesread, byteswritten;
std::string journal;
bool onterminal;
std::int64_t frequency;
std::int64_t starttime;
std::uint64_t plannedio;
// The first MiB of the device, held to the end like every buffer.
unsigned char* firstmib;

bool readfromdevice(void*, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    bytesread += size;
    return readdevice(device, offset, data, size);
}

bool writetodevice(void*, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    byteswritten += size;
    return writedevice(device, offset, data, size);
}

bool settledevice(void*)
{
    return reopendevice(&device);
}

// A line per step, beginning with "\r" like kapmess's lines; on a terminal it
// moves on with the share of the planned I/O done and the time still to go.
void showstep(int round, const char* step, std::uint64_t done)
{
    static std::string shown;
    char line[120];
    const auto share =
        static_cast<int>(std::min<std::uint64_t>(99, done * 100 / std::max(plannedio, done + 1)));
    if (round > 0)
        std::snprintf(line, sizeof line, "Runde %d: %s (insgesamt erledigt: %d%%)", round, step, share);
    else
        std::snprintf(line, sizeof line, "%s (insgesamt erledigt: %d%%)", step, share);
    const std::string which = std::to_string(round) + step;
    if (which != shown) {
        shown = which;
        showline(line, "", false, onterminal);
        return;
    }
    std::int64_t now;
    if (onterminal && QueryPerformanceCounter(&now) && livedue(now))
        showline(line,
                 livefigures(now, static_cast<std::int64_t>(done),
                             static_cast<std::int64_t>(plannedio - std::min(plannedio, done))),
                 true, onterminal);
}

int refused()
{
    switch (info.why) {
    case refusal::notblockdevice:
        std::printf("*** '%s' ist kein Blockgerät. Geben Sie das ganze Gerät an, etwa /dev/sdb oder unter "
                    "Windows E:.\n",
                    path);
        break;
    case refusal::partition:
        std::printf("*** '%s' ist eine Partition. Geprüft wird nur das ganze Gerät: kapprobe %s\n", path,
                    info.whole);
        break;
    case refusal::systemdisk:
        std::printf("*** '%s' liegt auf derselben Platte wie %s, Windows oder das aktuelle Verzeichnis.\n",
                    path, info.whole);
        break;
    case refusal::mounted:
        std::printf(
            "*** '%s' oder eine seiner Partitionen ist unter '%s' eingehängt. Hängen Sie es zuerst aus.\n",
            path, info.whole);
        break;
    default:
        std::printf("*** Kann '%s' nicht für sich allein öffnen: %s\n", path, info.reason);
        break;
    }
    return noverdict;
}

// The hash of the first MiB, which no probe writes: with the size, it tells
// this medium from another one. 0 when it cannot be read.
std::uint64_t fingerprint(const probe::device& dev)
{
    return dev.read(dev.context, 0, firstmib, mib) ? probe::fnv1a(firstmib, mib) : 0;
}

// True when the first MiB holds a stamp of the run with key: it wrapped
// around onto it, so that the fingerprint changed, and the journal still
// belongs to this medium.
bool stampedby(std::uint64_t key)
{
    for (std::size_t at = 0; at < mib; at += info.sectorsize) {
        std::uint64_t offset;
        std::uint32_t round;
        if (probe::readstamp(firstmib + at, info.sectorsize, key, &offset, &round))
            return true;
    }
    return false;
}

// Writes back what journal saved; true when every byte came back, else
// says what did not and that the journal stays to do it again.
bool restore(const probe::device& dev, std::uint64_t done)
{
    probe::restoration restored = probe::journalrestore(journal.c_str(), dev, showstep, done);
    if (restored.complete && restored.wrong == 0 && flushdevice(device)) {
        removefile(journal.c_str());
        return true;
    }
    if (!restored.complete)
        std::printf(
            "\n*** Nicht alles ließ sich zurückschreiben: das Journal '%s' war nicht zu lesen oder das Gerät "
            "nahm Daten nicht an.\n",
            journal.c_str());
    else
        std::printf("\n*** %" PRIu64
                    " Bytes kamen nicht so zurück, wie sie gesichert waren, zuerst bei Byte %" PRIu64 ".\n",
                    restored.wrong, restored.firstwrong);
    std::printf(
        "Das Journal '%s' bleibt liegen: ein neuer Lauf von 'kapprobe %s' in diesem Verzeichnis schreibt "
        "alles noch einmal zurück.\n",
        journal.c_str(), path);
    return false;
}

void showverdict(const probe::findings& found)
{
    switch (found.outcome) {
    case probe::verdict::sound:
        std::printf(
            "\nKein Anzeichen einer Fälschung: alle %" PRIu64 " geprüften Stellen behielten ihre Daten.\n"
            "Eine Schnellprüfung kann nicht jeden Fehler ausschließen: ein Medium, das Daten speichert, wo "
            "immer sie hingeschrieben werden, bis es voll ist, besteht jede Probe. Jeden Block prüft erst "
            "kapmess über die ganze Kapazität.\n",
            found.probed);
        break;
    case probe::verdict::counterfeit: {
        const std::uint64_t usablemib = found.usable / mib;
        std::printf("\nGefälscht: nutzbar sind nur die ersten %" PRIu64 " Bytes (%" PRIu64
                    " MByte) der gemeldeten %" PRIu64 " Bytes.\n",
                    found.usable, usablemib, info.size);
        switch (found.what) {
        case probe::beyond::wraps:
            std::printf("Dahinter beginnen die Adressen von vorn: Byte %" PRIu64
                        " ist wieder Byte 0, und was dort geschrieben wird, überschreibt den Anfang.\n",
                        found.wrapsize);
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
        std::printf("Nutzen Sie nur die ersten %" PRIu64 " MByte, etwa mit einer Partition dieser Größe:\n%s"
                    "und prüfen Sie sie danach mit kapmess.\n",
                    usablemib, partitioncommands(path, usablemib).c_str());
        break;
    }
    case probe::verdict::damaged:
        std::printf("\nBeschädigt: %" PRIu64 " von %" PRIu64
                    " geprüften Stellen verloren ihre Daten oder meldeten Fehler, die erste bei Byte %" PRIu64
                    " (%" PRIu64 " MByte).\nSichern Sie, was darauf liegt, und benutzen Sie das Medium nicht "
                    "weiter.\n",
                    found.badplaces, found.probed, found.firstbad, found.firstbad / mib);
        break;
    case probe::verdict::stopped:
        std::printf("\n*** Abgebrochen: alles Überschriebene ist wiederhergestellt.\n");
        break;
    case probe::verdict::failed:
        std::printf("\n*** Das Journal '%s' nimmt nichts mehr auf: die Probe endet ohne Urteil.\n",
                    journal.c_str());
        break;
    }
}

void showcost()
{
    std::int64_t now = starttime;
    QueryPerformanceCounter(&now);
    const auto seconds = static_cast<long long>((now - starttime) / frequency);
    std::printf("Dauer %lld:%02lld, geschrieben %" PRIu64 " Bytes, gelesen %" PRIu64 " Bytes.\n",
                seconds / 60, seconds % 60, byteswritten, bytesread);
}

std::uint64_t runkey()
{
    std::random_device entropy;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (static_cast<std::uint64_t>(entropy()) << 32 | entropy()) ^ now;
}

} // namespace

int main(int argc, char** argv)
{
    openstandardstreams();
    setupconsole();
    onterminal = terminalcolumns() > 0;
    std::printf("Kapprobe -- Schnellprüfung auf gefälschte Kapazität, von den Kapmess-Autoren\n");
    std::printf("Version %s, Copyright (c) 2026 die Kapmess-Autoren\n", KAPMESS_VERSION);
    if (argc != 2) {
        std::printf("%s", usage);
        return noverdict;
    }
    path = argv[1];
    firstmib = allocbuffer(mib);
    if (firstmib == nullptr || !QueryPerformanceFrequency(&frequency) ||
        !QueryPerformanceCounter(&starttime)) {
        std::printf("*** Kein Speicher oder kein Zeitgeber.\n");
        return noverdict;
    }
    device = opendevice(path, &info);
    if (device == nodevice)
        return refused();
    if (info.size < smallest) {
        std::printf("*** '%s' ist mit %" PRIu64 " Bytes zu klein für eine Probe.\n", path, info.size);
        return noverdict;
    }
    std::printf("Gerät '%s': %" PRIu64 " Bytes (%" PRIu64 " MByte), Sektoren zu %" PRIu32 " Bytes\n", path,
                info.size, info.size / mib, info.sectorsize);
    const probe::device dev{info.size, info.sectorsize, nullptr, readfromdevice, writetodevice, settledevice};
    catchstops();
    livestart(starttime, frequency);

    journal = probe::journalname(info.size);
    std::uint64_t firstmibhash = fingerprint(dev);
    if (probe::journalheader left; probe::readjournalheader(journal.c_str(), &left)) {
        if (left.sectorsize != info.sectorsize ||
            (left.fingerprint != firstmibhash && !stampedby(left.key))) {
            std::printf(
                "*** Das Journal '%s' hier gehört zu einem anderen Medium dieser Größe. Stellen Sie es "
                "mit jenem Medium wieder her, oder starten Sie kapprobe in einem anderen Verzeichnis.\n",
                journal.c_str());
            return noverdict;
        }
        std::printf(
            "Ein früherer Lauf wurde unterbrochen: schreibe zuerst zurück, was er überschrieb (Journal "
            "'%s').\n",
            journal.c_str());
        plannedio = 0;
        if (!restore(dev, 0)) {
            showcost();
            return notrestored;
        }
        std::printf("\nAlles ist wiederhergestellt.\n");
        firstmibhash = fingerprint(dev);
        if (stoprequested())
            return noverdict;
    }

    const std::uint64_t key = runkey();
    if (!probe::journalstart(journal.c_str(), dev, key, firstmibhash)) {
        std::printf("*** Kann das Journal '%s' im aktuellen Verzeichnis nicht anlegen.\n", journal.c_str());
        removefile(journal.c_str());
        return noverdict;
    }
    plannedio = probe::plannedbytes(dev, probe::defaultcachelimit);
    probe::findings found = probe::search(dev, key, probe::defaultcachelimit, firstmibhash, showstep);
    // What is left: writing back what was saved and reading it back.
    plannedio = bytesread + byteswritten + 2 * probe::journalsaved();
    const bool restored = restore(dev, bytesread + byteswritten);
    showverdict(found);
    showcost();
    if (!restored)
        return notrestored;
    if (found.outcome == probe::verdict::sound)
        return sound;
    return found.outcome == probe::verdict::counterfeit || found.outcome == probe::verdict::damaged
               ? unsound
               : noverdict;
}
