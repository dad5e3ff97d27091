// After the verdict: a counterfeit device's usable part made of use. The
// first MiB is saved to a file in the current directory, a partition table
// with one partition over the usable part takes its place, and the system's
// own tool formats the partition. --unfix writes the saved MiB back.
#include "platform/partitions.h"
#include "probe/devicerun.h"
#include "probe/onsystem.h"
#include "probe/report.h"

#include <cinttypes>
#include <cstring>

namespace probe {

namespace {

// Room for the partition table and more than a few MiB behind it.
constexpr std::uint64_t fixable = 16 * mib;

constexpr char backupending[] = ".erstes-mbyte";

// The file that keeps the first MiB of the device whose journal is named
// journal, the nth of them: an earlier one holds what lay there before.
std::string backupname(const std::string& journal, int nth)
{
    const std::string base = journal.substr(0, journal.rfind(".undo"));
    return base + (nth > 1 ? "-" + std::to_string(nth) : "") + backupending;
}

} // namespace

// Saves the first MiB to a file of its own in the current directory; its
// name, or empty when it could not be saved, and the run said why.
std::string devicerun::savefirstmib()
{
    for (int nth = 1; nth < 1000; nth++) {
        std::string name = backupname(journalfile, nth);
        journalopen how;
        const journalhandle handle = createjournal(name.c_str(), &how);
        if (handle == journalhandle::none && how == journalopen::inuse)
            continue;
        if (handle == journalhandle::none) {
            say("*** Kann '%s' im aktuellen Verzeichnis nicht anlegen: %s. Nichts geändert.\n", name.c_str(),
                systemreason().c_str());
            return "";
        }
        journalonfile file(handle);
        journal saved(file, *dev);
        const bool started = saved.start({runkey(), info.size, info.sectorsize, info.identity, chosen.path});
        const saving got = started ? saved.save(0, mib) : saving::journalfailed;
        if (got == saving::saved && saved.commit()) {
            closejournal(handle);
            return name;
        }
        say("*** Das erste MByte ließ sich nicht in '%s' sichern: %s. Nichts geändert.\n", name.c_str(),
            got == saving::unreadable ? dev->failure().c_str() : file.failure().c_str());
        removejournal(handle, name.c_str());
        return "";
    }
    say("*** Im aktuellen Verzeichnis liegen zu viele Sicherungen dieses Geräts. Nichts geändert.\n");
    return "";
}

// Puts the new first MiB on the device, the partition table and nothing
// else, and reads it back; false when it did not get there, and the run
// said so.
bool devicerun::writepartitiontable(const fixplan& plan, const std::string& backup)
{
    iobuffer table(mib), back(mib);
    std::memset(table.data, 0, mib);
    // Windows tells disks apart by this signature: a new one for each table.
    const auto record = masterbootrecord(plan.place, plan.what, static_cast<std::uint32_t>(runkey()) | 1);
    std::memcpy(table.data, record.data(), record.size());
    const bool put = dev->write(0, table.data, mib) && dev->settle();
    const bool same = put && dev->read(0, back.data, mib) && std::memcmp(table.data, back.data, mib) == 0;
    if (same)
        return true;
    say("\n*** Die neue Partitionstabelle kam nicht auf das Gerät%s%s. Was vorher dort stand, schreibt\n    "
        "%s\nzurück.\n",
        put ? ", es liest anderes zurück" : ": ", put ? "" : dev->failure().c_str(),
        probecommand(target, "--unfix " + backup + " ", chosen.path).c_str());
    return false;
}

// Formats the new partition with the system's own tool, or names the
// command that does, and tells where the system mounted it.
void devicerun::format(const fixplan& plan)
{
    const std::string node = firstpartitionnode(info);
    const formatting how = formatcommand(target, plan, node);
    const std::string command = commandtext(target, how.arguments);
    fixreport& fixed = result.fixed;
    fixed.command = command;
    const std::uint64_t megabytes = std::uint64_t{plan.place.sectors} * plan.sectorsize / mib;
    if (!how.runnable) {
        say("Das System zeigt die Partition nicht als eigenes Gerät. Sobald es sie zeigt (etwa nachdem "
            "das Medium abgezogen und wieder angeschlossen ist), formatiert sie\n    %s\n",
            command.c_str());
    } else if (const toolrun ran = runtool(how.arguments); !ran.started) {
        say("*** %s gibt es auf diesem System nicht%s. Formatieren Sie die Partition mit\n    %s\n",
            how.arguments[0].c_str(), how.package.empty() ? "" : (" (Paket " + how.package + ")").c_str(),
            command.c_str());
    } else if (ran.status != 0) {
        say("*** %s endete mit Status %d:\n%s%sFormatieren Sie die Partition mit\n    %s\n",
            how.arguments[0].c_str(), ran.status, ran.output.c_str(),
            ran.output.empty() || ran.output.back() == '\n' ? "" : "\n", command.c_str());
    } else {
        fixed.formatted = true;
        say("Formatiert mit %s, Name '%s': nutzbar sind jetzt %" PRIu64 " MByte.\n",
            filesystemname(plan.what), plan.label.c_str(), megabytes);
    }
    if (const std::string mounted = mountedpartition(info); !mounted.empty()) {
        const std::string eject = ejectcommand(target);
        say("Das System hat die Partition unter '%s' eingehängt. Werfen Sie das Medium vor dem Abziehen "
            "aus%s%s\n",
            mounted.c_str(), eject.empty() ? " (im Explorer: Auswerfen)." : ":\n    ", eject.c_str());
    }
}

int devicerun::fix(int status)
{
    if (!chosen.fix || !dev || (status != sound && status != unsound))
        return status;
    const findings& found = result.found;
    if (status == sound) {
        say("Nichts zu reparieren: das Medium bleibt, wie es ist.\n");
        return status;
    }
    if (found.outcome == verdict::damaged) {
        say("Keine neue Partitionstabelle: ein beschädigtes Medium wird davon nicht verlässlicher.\n");
        return status;
    }
    if (found.outcome == verdict::overwrites) {
        say("Keine neue Partitionstabelle: das Medium überschreibt, was schon darauf liegt, auch auf einer "
            "Partition.\n");
        return status;
    }
    if (found.usable < fixable) {
        say("Keine neue Partitionstabelle: nutzbar sind weniger als %" PRIu64 " MByte.\n", fixable / mib);
        return status;
    }
    // A system that tells no sector size (Wine) has one of 512 bytes
    // beneath, as nearly every card and stick has.
    const fixplan plan = planfix(found.usable, info.sectorguessed ? 512 : info.sectorsize);
    const std::uint64_t first = std::uint64_t{plan.place.first} * plan.sectorsize,
                        size = std::uint64_t{plan.place.sectors} * plan.sectorsize;
    say("\nDie neue Partitionstabelle hat eine Partition von Byte %" PRIu64 " bis Byte %" PRIu64 " (%" PRIu64
        " MByte) mit %s. Das löscht alles auf dem Medium.\n",
        first, first + size, size / mib, filesystemname(plan.what));
    if (!chosen.yes) {
        const std::string answer =
            console.ask(formatted("Geben Sie zur Bestätigung den Namen des Geräts ein (%s): ", chosen.path));
        if (answer != chosen.path || stoprequested()) {
            say("Nichts geändert.\n");
            return status;
        }
    }
    const std::string backup = savefirstmib();
    if (backup.empty())
        return status;
    say("Das bisherige erste MByte liegt in '%s'. Zurück auf das Gerät bringt es\n    %s\n", backup.c_str(),
        probecommand(target, "--unfix " + backup + " ", chosen.path).c_str());
    if (!writepartitiontable(plan, backup))
        return notrestored;
    result.fixed = {true, first, size, filesystemname(plan.what), plan.label, backup, false, ""};
    rereadpartitions(dev->held());
    // The system's tools open the device themselves, and the system shows
    // the partition only once nobody holds it.
    closedevice(dev->held());
    dev.reset();
    format(plan);
    say("Das Medium bleibt eine Fälschung: prüfen Sie die Partition mit kapmess, bevor Sie ihr etwas "
        "anvertrauen.\n");
    return status;
}

int devicerun::unfix()
{
    const char* name = chosen.unfix;
    journalopen how;
    const journalhandle handle = openjournal(name, &how);
    if (handle == journalhandle::none) {
        say("*** Kann '%s' nicht öffnen: %s.\n", name,
            how == journalopen::inuse ? "ein anderer Lauf von kapprobe hält die Datei"
                                      : systemreason().c_str());
        return noverdict;
    }
    journalonfile file(handle);
    journalcontents contents;
    const bool readable = readjournal(file, &contents) == journalstate::readable;
    const bool firstmib = readable && contents.records.size() == 1 && contents.records[0].offset == 0 &&
                          contents.records[0].size == mib && !contents.damaged;
    const journalheader& header = contents.header;
    if (!firstmib) {
        say("*** '%s' ist keine Sicherung des ersten MByte, wie kapprobe --fix sie anlegt. Geschrieben "
            "wurde nichts.\n",
            name);
    } else if (header.size != info.size ||
               (!header.identity.empty() && !info.identity.empty() && header.identity != info.identity)) {
        say("*** '%s' ist das erste MByte von %s, nicht von diesem Gerät. Geschrieben wurde nichts.\n", name,
            journaldevice(header).c_str());
    } else {
        plannedio = 2 * mib;
        const restoration restored = restore(file, contents, *dev, progress(), 0);
        closejournal(handle);
        showfinished();
        if (!restored.complete(contents)) {
            say("\n*** Das erste MByte kam nicht zurück: %s. '%s' bleibt liegen; versuchen Sie es noch "
                "einmal.\n",
                restored.failed > 0  ? restored.failure.c_str()
                : restored.unflushed ? restored.flushfailure.c_str()
                                     : "das Gerät liest anderes zurück",
                name);
            return notrestored;
        }
        rereadpartitions(dev->held());
        say("Das erste MByte von '%s' ist zurückgeschrieben, wie es vor kapprobe --fix war. '%s' bleibt "
            "liegen; Sie brauchen sie nicht mehr.\n",
            chosen.path, name);
        return sound;
    }
    closejournal(handle);
    return noverdict;
}

} // namespace probe
