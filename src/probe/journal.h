// The undo journal: what a probe overwrites is saved to a file on another
// medium, and put on it, before the overwrite, so that the device gets every
// byte back at the end, after an interruption, or in a later run.
#pragma once

#include "probe/device.h"

#include <cstdint>
#include <string>

namespace probe {

// The journal of a device of size bytes: one per size in a directory, which
// holds whatever the probe of such a device has saved.
std::string journalname(std::uint64_t size);

// Begins journal name for a run with key on dev, whose first MiB hashes to
// fingerprint. False when the file cannot be made and put on its medium.
bool journalstart(const char* name, const device& dev, std::uint64_t key, std::uint64_t fingerprint);

enum class saving { saved, unreadable, journalfailed };

// Saves what lies at [offset, offset + size) on dev, unless this run saved it
// before: the first write to a place is the one whose content counts, also
// where two places share storage. unreadable when dev cannot read it (it
// must then not be written), journalfailed when the file took no more.
saving journalsave(const device& dev, std::uint64_t offset, std::uint64_t size);

// Puts all that was saved on the journal's medium; false when it did not get there.
bool journalcommit();

// Bytes read from dev to save them in this run.
std::uint64_t journalsaved();

// What a journal says of its run.
struct journalheader {
    std::uint64_t key;
    std::uint64_t size;
    std::uint64_t sectorsize;
    std::uint64_t fingerprint;
};

// Reads the header of journal name; false when there is none or it is not one.
bool readjournalheader(const char* name, journalheader* header);

struct restoration {
    // Places written back, bytes of them, and the bytes that did not come
    // back as saved (with the first such offset).
    std::uint64_t places;
    std::uint64_t bytes;
    std::uint64_t wrong;
    std::uint64_t firstwrong;
    // False when the journal could not be read, is damaged before its last
    // record, or a write back failed.
    bool complete;
};

// Writes back what journal name saved, the last saved first, so that where
// places share storage the content saved first wins, and reads every place
// back to check it. A sector may come back other than saved only where what
// was saved was a stamp of the run's own, which the sharing put there.
// progress hears of it from done bytes on.
restoration journalrestore(const char* name, const device& dev, progressreport progress, std::uint64_t done);

} // namespace probe
