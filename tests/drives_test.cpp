// Windows' drives, volumes and disks as kapprobe.exe takes them apart.
#include "platform/drives.h"

#include <gtest/gtest.h>

namespace {

const std::string volume = "\\\\?\\Volume{5e1a3c2b-0000-0000-0000-100000000000}";

// Windows reads these names regardless of case; each stands for the whole
// disk beneath it, and only a disk's own name skips the volume's lookup.
TEST(Drives, EveryNameOfADriveVolumeOrDiskIsRecognisedInAnyCase)
{
    const struct {
        const char* given;
        drives::kind what;
        std::string path;
        int disk;
    } cases[] = {
        {"E:", drives::kind::drive, "\\\\.\\E:", -1},
        {"e:\\", drives::kind::drive, "\\\\.\\E:", -1},
        {"x:/", drives::kind::drive, "\\\\.\\X:", -1},
        {"\\\\.\\x:", drives::kind::drive, "\\\\.\\X:", -1},
        {"\\\\?\\E:\\", drives::kind::drive, "\\\\.\\E:", -1},
        {"\\\\.\\PhysicalDrive2", drives::kind::disk, "\\\\.\\PhysicalDrive2", 2},
        {"\\\\.\\physicaldrive12", drives::kind::disk, "\\\\.\\PhysicalDrive12", 12},
        {"\\\\?\\PHYSICALDRIVE0", drives::kind::disk, "\\\\.\\PhysicalDrive0", 0},
        {"\\\\?\\Volume{5e1a3c2b-0000-0000-0000-100000000000}\\", drives::kind::volume, volume, -1},
        {"\\\\.\\volume{5e1a3c2b-0000-0000-0000-100000000000}", drives::kind::volume,
         "\\\\?\\volume{5e1a3c2b-0000-0000-0000-100000000000}", -1},
        // Not a drive, a volume or a disk: opened as given, and refused
        // there if it is no device.
        {"E:\\card", drives::kind::other, "E:\\card", -1},
        {"\\\\.\\PhysicalDrive", drives::kind::other, "\\\\.\\PhysicalDrive", -1},
        {"\\\\.\\PhysicalDrive2x", drives::kind::other, "\\\\.\\PhysicalDrive2x", -1},
        {"\\\\.\\CdRom0", drives::kind::other, "\\\\.\\CdRom0", -1},
        {"PhysicalDrive2", drives::kind::other, "PhysicalDrive2", -1},
        {"1:", drives::kind::other, "1:", -1},
    };
    for (const auto& c : cases) {
        const drives::argument found = drives::classify(c.given);
        EXPECT_EQ(found.what, c.what) << c.given;
        EXPECT_EQ(found.path, c.path) << c.given;
        EXPECT_EQ(found.disk, c.disk) << c.given;
    }
    EXPECT_EQ(drives::volumedevice(volume + "\\"), volume)
        << "FindFirstVolume's name, as CreateFile opens it";
}

// A volume is locked when any of its extents lies on the disk; an answer too
// long for its room is asked again; only what means "no disk beneath" lets
// the run pass a volume it could not examine.
TEST(Drives, AVolumeIsOnTheDiskWhereAnyOfItsExtentsIs)
{
    using drives::place;
    EXPECT_EQ(drives::placeofvolume(true, 0, {2}, 2), place::onthisdisk);
    EXPECT_EQ(drives::placeofvolume(true, 0, {1}, 2), place::elsewhere);
    EXPECT_EQ(drives::placeofvolume(true, 0, {0, 3, 2}, 2), place::onthisdisk) << "spanning three disks";
    EXPECT_EQ(drives::placeofvolume(true, 0, {0, 3}, 2), place::elsewhere);
    EXPECT_EQ(drives::placeofvolume(false, 234, {}, 2, 3, 1), place::askagain)
        << "ERROR_MORE_DATA, 3 extents";
    for (unsigned long reported : {0ul, 1ul})
        EXPECT_EQ(drives::placeofvolume(false, 234, {}, 2, reported, 1), place::unknown)
            << "ERROR_MORE_DATA with " << reported << " extents: more room would not help";
    for (unsigned long nodisk : {1ul, 2ul, 21ul, 50ul, 1112ul})
        EXPECT_EQ(drives::placeofvolume(false, nodisk, {}, 2), place::elsewhere) << nodisk;
    for (unsigned long unknown : {5ul, 6ul, 32ul, 87ul, 1117ul})
        EXPECT_EQ(drives::placeofvolume(false, unknown, {}, 2), place::unknown) << unknown;
}

} // namespace

// The formatting tool gets its arguments as Windows' C runtime splits the
// command line.
TEST(Drives, ACommandLineSplitsBackIntoItsArguments)
{
    EXPECT_EQ(drives::commandline({"format.com", "E:", "/V:ECHT-383MB", "/Q"}),
              "format.com E: /V:ECHT-383MB /Q");
    EXPECT_EQ(drives::commandline({"a b", "", "say \"hi\""}), "\"a b\" \"\" \"say \\\"hi\\\"\"");
    EXPECT_EQ(drives::commandline({"C:\\Program Files\\", "x\\\\\"y"}),
              "\"C:\\Program Files\\\\\" \"x\\\\\\\\\\\"y\"");
}
