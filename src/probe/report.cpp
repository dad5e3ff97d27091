#include "probe/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace probe {

std::string vformatted(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    // The analyzer does not see that the caller started args.
    const int length =
        std::vsnprintf(nullptr, 0, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.pop_back();
    return text;
}

std::string formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // On some machines the analyzer loses the va_start just above.
    std::string text = vformatted(format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    return text;
}

std::string refusaltext(const char* path, const deviceinfo& info)
{
    std::string out = "Ergebnis: abgelehnt; auf das Gerät wurde nichts geschrieben.\n";
    const partitiontarget whole{thissystem(), info.whole, -1, privileged()};
    switch (info.why) {
    case refusal::notfound:
        out += formatted("*** '%s' gibt es nicht. Die angeschlossenen Geräte nennt%s:\n    %s\n", path,
                         thissystem() == operatingsystem::windows ? " in PowerShell" : "",
                         listcommand(thissystem()).c_str());
        break;
    case refusal::notblockdevice:
        out +=
            formatted("*** '%s' ist kein Blockgerät. Geben Sie das ganze Gerät an, etwa /dev/sdb oder unter "
                      "Windows E:.\n",
                      path);
        break;
    case refusal::partition:
        out += formatted("*** '%s' ist eine Partition. Geprüft wird nur das ganze Gerät: %s\n", path,
                         probecommand(whole, "", info.whole).c_str());
        break;
    case refusal::systemdisk:
        out +=
            formatted("*** '%s' liegt auf derselben Platte wie %s, Windows oder das aktuelle Verzeichnis.\n",
                      path, info.whole.c_str());
        break;
    case refusal::mounted: {
        // macOS unmounts a disk's volumes at once; Linux each mount point.
        const std::string unmount =
            unmountcommand({thissystem(), thissystem() == operatingsystem::macos ? info.node : info.whole, -1,
                            privileged()});
        out += formatted(
            "*** '%s' oder eine seiner Partitionen ist unter '%s' eingehängt. Hängen Sie es zuerst aus%s%s\n",
            path, info.whole.c_str(), unmount.empty() ? "." : ":\n    ", unmount.c_str());
        break;
    }
    case refusal::held:
        out +=
            formatted("*** '%s' oder eine seiner Partitionen hält ein anderes Programm geöffnet: %s. "
                      "Beenden Sie es (ein Dateisystem, das es bereitstellt, hängen Sie aus), dann starten "
                      "Sie kapprobe wieder.\n",
                      path, info.whole.c_str());
        break;
    case refusal::notpermitted:
        out += formatted(
            "*** Keine Berechtigung, '%s' zu öffnen (%s). Starten Sie kapprobe mit sudo, unter Windows "
            "in einer Eingabeaufforderung als Administrator.\n",
            path, info.reason.c_str());
        break;
    default:
        out += formatted("*** Kann '%s' nicht für sich allein öffnen: %s\n", path, info.reason.c_str());
        break;
    }
    return out;
}

// The device a journal was written for, as its header tells.
std::string journaldevice(const journalheader& header)
{
    if (header.path.empty())
        return "einem Gerät von " + grouped(header.size) + " Bytes";
    return "'" + header.path + "' (" + (header.identity.empty() ? "" : header.identity + ", ") +
           grouped(header.size) + " Bytes)";
}

// Tells what did not come back, and how to write it back again.
std::string restorationtext(const restoration& restored, const journalcontents& contents,
                            const std::string& name, const std::string& journalfailure,
                            const std::string& restorecommand)
{
    std::string out;
    out += formatted("\n*** Nicht alles ist wiederhergestellt.\n");
    if (contents.damaged)
        out += formatted(
            "Das Journal '%s' ist beschädigt: ein bestätigter Eintrag ist nicht mehr lesbar; was davor "
            "stand, ist zurückgeschrieben.\n",
            name.c_str());
    if (restored.unreadable)
        out += formatted("Das Journal '%s' ließ sich nicht ganz lesen: %s.\n", name.c_str(),
                         journalfailure.c_str());
    if (restored.failed > 0)
        out += formatted("%s Stellen nahm das Gerät nicht an, die erste bei Byte %s: %s.\n",
                         grouped(restored.failed).c_str(), grouped(restored.firstfailed).c_str(),
                         restored.failure.c_str());
    if (restored.unflushed)
        out += formatted("Das Gerät bestätigte nicht, dass das Zurückgeschriebene auf ihm steht: %s.\n",
                         restored.flushfailure.c_str());
    if (restored.wrong > 0)
        out += formatted(
            "%s Bytes kamen nicht so zurück, wie sie gesichert waren, zwischen Byte %s und Byte %s.\n",
            grouped(restored.wrong).c_str(), grouped(restored.firstwrong).c_str(),
            grouped(restored.lastwrong).c_str());
    out += formatted("Das Journal '%s' bleibt liegen. Schließen Sie ein abgezogenes Gerät wieder an und "
                     "schreiben Sie in diesem Verzeichnis alles noch einmal zurück, ohne neu zu prüfen:\n"
                     "    %s\nHeißt das Gerät danach anders, nennt es\n    %s\n",
                     name.c_str(), restorecommand.c_str(), listcommand(thissystem()).c_str());
    return out;
}

// What a counterfeit device does behind its usable size.
std::string beyondtext(const findings& found)
{
    std::string out;
    switch (found.what) {
    case beyond::wraps:
        out += formatted("Dahinter beginnen die Adressen von vorn: Byte %s"
                         " ist wieder Byte 0, und was dort geschrieben wird, überschreibt den Anfang.\n",
                         grouped(found.distance).c_str());
        break;
    case beyond::mirrors:
        out += formatted("Dahinter liest das Gerät noch einmal den Anfang: Byte %s"
                         " liefert, was an Byte 0 steht, und was dort geschrieben wird, geht verloren.\n",
                         grouped(found.distance).c_str());
        break;
    case beyond::shares:
        out += formatted("Dahinter teilen sich Stellen ihren Speicher: an Byte %s stand, was an Byte %s"
                         " geschrieben wurde.\n",
                         grouped(found.reader).c_str(), grouped(found.writer).c_str());
        break;
    case beyond::zeros:
    case beyond::ones:
    case beyond::stale:
        out += formatted("Was dahinter geschrieben wird, geht verloren: gelesen werden %s.\n",
                         found.what == beyond::zeros  ? "Nullen"
                         : found.what == beyond::ones ? "Bytes 0xff"
                                                      : "alte Daten");
        break;
    case beyond::unreadable:
        out += formatted("Dahinter meldet das Gerät Lesefehler.\n");
        break;
    }
    if (found.distance != 0 && found.what != beyond::wraps && found.what != beyond::mirrors) {
        if (found.round == beyond::wraps)
            out += formatted("Ab Byte %s beginnen die Adressen von vorn: es ist wieder Byte 0, und was "
                             "dort geschrieben wird, überschreibt den Anfang.\n",
                             grouped(found.distance).c_str());
        else
            out += formatted("Ab Byte %s liest das Gerät noch einmal den Anfang: es liefert, was an "
                             "Byte 0 steht.\n",
                             grouped(found.distance).c_str());
    }
    return out;
}

std::string verdicttext(const findings& found, const verdictplace& place)
{
    std::string out;
    switch (found.outcome) {
    case verdict::sound:
        out += formatted(
            "\nErgebnis: kein Anzeichen einer Fälschung. Sie können das Gerät benutzen.\nAlle %s"
            " Prüfstellen behielten ihre Daten, auch nachdem %s"
            " MByte anderes geschrieben waren.\nDie Prüfung nimmt Stichproben. Gewissheit über jeden Block "
            "gibt kapmess: es füllt ein Verzeichnis auf dem Gerät und liest alles zurück. Dort, mit dem "
            "freien Platz in MByte:\n    kapmess <MByte>\n",
            grouped(found.probed).c_str(), grouped(found.flushed / mib).c_str());
        break;
    case verdict::overwrites:
        out += formatted(
            "\nErgebnis: unbrauchbar, vermutlich gefälscht. Sichern Sie, was darauf liegt, und benutzen Sie "
            "das Gerät nicht weiter.\nDas erste MByte hat sich verändert, nachdem kapprobe %s"
            " Bytes an anderen Stellen geschrieben hatte; es selbst beschreibt kapprobe nie. Das Gerät legt "
            "Geschriebenes offenbar irgendwo ab und überschreibt dafür, was schon darauf liegt: jeder "
            "weitere "
            "Schreibvorgang zerstört mehr. Die Prüfung hat sofort aufgehört und zurückgeschrieben, was sie "
            "überschrieb, auch das erste MByte; anderes kann verloren sein.\nDas Journal '%s' bleibt liegen: "
            "es hält, was die Prüfung überschrieb.\n",
            grouped(found.written).c_str(), place.journal.c_str());
        break;
    case verdict::counterfeit: {
        const std::uint64_t usablemib = found.usable / mib;
        if (found.usable == 0) {
            out += formatted("\nErgebnis: gefälscht und unbrauchbar. Speichern Sie nichts darauf; bewahren "
                             "Sie diese Ausgabe als Beleg auf.\nSchon am Anfang der gemeldeten %s"
                             " Bytes (%s) behält keine Prüfstelle ihre Daten (das erste MByte prüft "
                             "kapprobe nicht, es beschreibt es nie).\n",
                             grouped(place.size).c_str(), packagesize(place.size).c_str());
            out += beyondtext(found);
            break;
        }
        if (found.usable < unusable) {
            out += formatted("\nErgebnis: gefälscht und unbrauchbar. Speichern Sie nichts darauf; bewahren "
                             "Sie diese Ausgabe als Beleg auf.\nNur die ersten %s"
                             " Bytes der gemeldeten %s Bytes (%s) behalten ihre Daten, zu wenig, um "
                             "es zu nutzen.\n",
                             grouped(found.usable).c_str(), grouped(place.size).c_str(),
                             packagesize(place.size).c_str());
            out += beyondtext(found);
            break;
        }
        out +=
            formatted("\nErgebnis: gefälscht. Es gibt %s an, speichert aber nur %s. Bewahren Sie diese "
                      "Ausgabe als Beleg auf.\nNutzbar sind die ersten %s Bytes (%s"
                      " MByte) der gemeldeten %s Bytes.\n",
                      packagesize(place.size).c_str(), packagesize(found.usable).c_str(),
                      grouped(found.usable).c_str(), grouped(usablemib).c_str(), grouped(place.size).c_str());
        out += beyondtext(found);
        if (place.fittingend > 0)
            out += formatted("Nutzen Sie nur die ersten %s MByte. Das tut die Partitionstabelle "
                             "schon: ihre einzige Partition endet bei Byte %s. Prüfen Sie sie mit kapmess.\n",
                             grouped(usablemib).c_str(), grouped(place.fittingend).c_str());
        else if (place.fixing)
            out += formatted("Nutzen Sie nur die ersten %s MByte.\n", grouped(usablemib).c_str());
        else
            out += formatted(
                "Nutzen Sie nur die ersten %s"
                " MByte. Eine Partition dieser Größe mit einem Dateisystem legt dieser Befehl "
                "an; er löscht alles auf dem Gerät:\n    %s\nPrüfen Sie sie danach mit kapmess.\n",
                grouped(usablemib).c_str(), probecommand(place.target, "--fix ", place.path).c_str());
        break;
    }
    case verdict::damaged:
        out += formatted(
            "\nErgebnis: beschädigt. Sichern Sie jetzt, was darauf liegt, und benutzen Sie das Gerät "
            "nicht weiter.\n%s von %s Prüfstellen (%s) verloren ihre Daten oder meldeten Fehler, von "
            "Byte %s (%s MByte) bis Byte %s (%s MByte).\n",
            grouped(found.badplaces).c_str(), grouped(found.probed).c_str(),
            share(found.badplaces, found.probed).c_str(), grouped(found.firstbad).c_str(),
            grouped(found.firstbad / mib).c_str(), grouped(found.lastbad).c_str(),
            grouped(found.lastbad / mib).c_str());
        break;
    case verdict::lost:
        out += formatted(
            "\nErgebnis: keines. '%s' antwortet nicht mehr, auch nicht an seinem Anfang: abgezogen oder "
            "ausgefallen.\n",
            place.path.c_str());
        break;
    case verdict::failed:
        out +=
            formatted("\n*** Das Journal '%s' nimmt nichts mehr auf (%s): die Prüfung endet ohne Urteil.\n",
                      place.journal.c_str(), place.journalfailure.c_str());
        break;
    case verdict::otherrun:
        out += formatted(
            "\n*** An Byte %s steht eine Probe eines anderen Laufs von kapprobe, der "
            "abgebrochen wurde und noch nicht zurückgeschrieben hat. Sein Journal liegt nicht hier, "
            "sondern in dem Verzeichnis, in dem er gestartet wurde, und heißt 'kapprobe-%" PRIu64
            "-….undo'. Starten Sie dort\n    %s\nEin Urteil gibt es erst danach: jetzt übersähe es, "
            "was jener Lauf überschrieb.\n",
            grouped(found.firstbad).c_str(), place.size,
            probecommand(place.target, "--restore ", place.path).c_str());
        break;
    case verdict::stopped:
        break;
    }
    return out;
}

std::string verdictname(verdict outcome)
{
    switch (outcome) {
    case verdict::sound:
        return "sound";
    case verdict::counterfeit:
        return "counterfeit";
    case verdict::damaged:
        return "damaged";
    case verdict::overwrites:
        return "overwrites";
    case verdict::stopped:
        return "stopped";
    case verdict::failed:
        return "failed";
    case verdict::lost:
        return "lost";
    case verdict::otherrun:
        // Another run's probes lie on the device: no verdict until they are gone.
        return "refused";
    }
    return "failed";
}

std::string shortverdict(const findings& found, bool stopped, bool back)
{
    std::string said;
    if (stopped) {
        said = "abgebrochen";
    } else {
        switch (found.outcome) {
        case verdict::sound:
            said = "Kein Anzeichen einer Fälschung";
            break;
        case verdict::counterfeit:
            said = found.usable < unusable
                       ? "Gefälscht und unbrauchbar"
                       : formatted("Gefälscht: nutzbar %s MByte", grouped(found.usable / mib).c_str());
            break;
        case verdict::damaged:
            said = "Beschädigt";
            break;
        case verdict::overwrites:
            said = "Unbrauchbar: überschreibt, was es hält";
            break;
        case verdict::lost:
            said = "antwortet nicht mehr";
            break;
        case verdict::stopped:
            said = "abgebrochen";
            break;
        case verdict::failed:
        case verdict::otherrun:
            said = "ohne Urteil";
            break;
        }
    }
    return said + (back ? stopped ? ", wiederhergestellt" : "" : ", nicht alles wiederhergestellt");
}

namespace {

// The caches a sound verdict rules out, in bytes: one that takes every write
// or every write that changes what a read gives, one that takes writes of up
// to 4 KiB only, and one that takes writes to places without storage only,
// the last where the device lacks at least its last lacking bytes.
nlohmann::ordered_json rulesout(const findings& found)
{
    return {{"cache", found.flushed},
            {"smallwrites", found.flushedsmall},
            {"unrealwrites", found.flushed},
            {"lacking", found.flushspan}};
}

const char* beyondname(beyond what)
{
    switch (what) {
    case beyond::wraps:
        return "wraps";
    case beyond::mirrors:
        return "mirrors";
    case beyond::shares:
        return "shares";
    case beyond::zeros:
        return "zeros";
    case beyond::ones:
        return "ones";
    case beyond::stale:
        return "stale";
    case beyond::unreadable:
        return "unreadable";
    }
    return "unreadable";
}

// text without the blank lines that set it apart in the output.
std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of('\n'), last = text.find_last_not_of('\n');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// What --fix did, null where it saved nothing.
nlohmann::ordered_json fixdocument(const fixreport& fixed)
{
    using json = nlohmann::ordered_json;
    if (fixed.backup.empty())
        return nullptr;
    return {
        {"written", fixed.written},     {"first", fixed.first},
        {"size", fixed.size},           {"filesystem", fixed.filesystem},
        {"label", fixed.label},         {"backup", fixed.backup},
        {"formatted", fixed.formatted}, {"command", fixed.formatted ? json(nullptr) : json(fixed.command)},
    };
}

} // namespace

std::string jsondocument(const std::string& version, int status, const std::vector<deviceresult>& devices,
                         const std::string& error)
{
    using json = nlohmann::ordered_json;
    json list = json::array();
    for (const deviceresult& one : devices) {
        const runresult& run = one.run;
        const bool counterfeit = run.verdict == "counterfeit", damaged = run.verdict == "damaged";
        json usable = nullptr;
        if (run.verdict == "sound")
            usable = one.info.size;
        else if (counterfeit)
            usable = run.found.usable;
        json entry = {
            {"device", one.device},
            {"identity", one.info.identity.empty() ? json(nullptr) : json(one.info.identity)},
            {"size", one.info.size > 0 ? json(one.info.size) : json(nullptr)},
            {"sector", one.info.sectorsize > 0 ? json(one.info.sectorsize) : json(nullptr)},
            {"verdict", run.verdict.empty() ? json(nullptr) : json(run.verdict)},
            {"usable", usable},
            {"beyond", counterfeit ? json(beyondname(run.found.what)) : json(nullptr)},
            {"firstbad", damaged ? json(run.found.firstbad) : json(nullptr)},
            {"lastbad", damaged ? json(run.found.lastbad) : json(nullptr)},
            {"written", run.written},
            {"read", run.read},
            {"seconds", run.seconds},
            {"status", run.status},
            {"message", trimmed(run.message)},
            {"fix", fixdocument(run.fixed)},
            {"rulesout", run.verdict == "sound" ? rulesout(run.found) : json(nullptr)},
        };
        list.push_back(entry);
    }
    const json document = {{"version", version},
                           {"status", status},
                           {"error", error.empty() ? json(nullptr) : json(trimmed(error))},
                           {"devices", list}};
    // Bytes that are not UTF-8 (a device's name as the system gave it) are
    // replaced, so that the document stays valid.
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace probe
