// What the platform layer promises alike on every system it runs on.
#include "platform/answers.h"
#include "platform/journalfile.h"
#include "platform/names.h"
#include "platform/process.h"
#include "platform/testfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Windows takes reads of a file opened past its cache only at whole sectors,
// into memory aligned to them. The layer checks that rule itself, so that it
// breaks under Wine, which lets such reads pass, as on Windows.
TEST(Platform, UnbufferedReadsKeepToWholeSectors)
{
    const std::string name =
        (std::filesystem::temp_directory_path() / ("kapmess-platform-test-" + std::to_string(std::rand())))
            .string();
    std::ofstream(name, std::ios::binary) << std::string(65536, 'k');
    unsigned char* buffer = allocbuffer(65536);
    filehandle file = openfile(name.c_str());
    ASSERT_NE(file, filehandle::none);
    EXPECT_TRUE(readfileat(file, 4096, buffer, 4096));
    EXPECT_EQ(buffer[0], 'k');
    const bool misaligned = readfileat(file, 40, buffer, 32);
    if (thissystem() == operatingsystem::windows) {
        EXPECT_FALSE(misaligned);
        EXPECT_NE(systemreason().find("nicht auf Sektoren"), std::string::npos) << systemreason();
    } else {
        EXPECT_TRUE(misaligned);
    }
    closefile(file);
    freebuffer(buffer);
    std::remove(name.c_str());
}

// kapprobe finds the journals of every device of one size by their names:
// only regular files, in order, whatever else lies beside them.
TEST(Platform, JournalsAreFoundByTheirNames)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    const std::filesystem::path here =
        std::filesystem::temp_directory_path() / ("kapmess-journals-test-" + std::to_string(std::rand()));
    std::filesystem::create_directory(here);
    std::filesystem::current_path(here);
    for (const char* name : {"kapprobe-4096.undo", "kapprobe-4096-b.undo", "kapprobe-4096-a.undo.part",
                             "kapprobe-8192.undo", "old-kapprobe-4096.undo"})
        std::ofstream(name) << "k";
    std::filesystem::create_directory("kapprobe-4096-a.undo");
    const std::vector<std::string> found = journalsin("kapprobe-4096");
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(here);
    EXPECT_EQ(found, (std::vector<std::string>{"kapprobe-4096-b.undo", "kapprobe-4096.undo"}));
}

// A read at an offset between two appends leaves the journal whole: on
// Windows such a read moves the file pointer that a plain write goes to.
TEST(Platform, AppendsFollowEachOtherWhateverWasReadBetween)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    const std::string name = "kapmess-append-test-" + std::to_string(std::rand());
    journalopen how;
    journalhandle journal = createjournal(name.c_str(), &how);
    ASSERT_NE(journal, journalhandle::none);
    const std::string first(5000, 'a'), second(3000, 'b');
    unsigned char start[16];
    EXPECT_TRUE(appendjournal(journal, reinterpret_cast<const unsigned char*>(first.data()), first.size()));
    EXPECT_TRUE(readjournal(journal, 0, start, sizeof start));
    EXPECT_TRUE(appendjournal(journal, reinterpret_cast<const unsigned char*>(second.data()), second.size()));
    EXPECT_TRUE(syncjournal(journal));
    EXPECT_EQ(journalsize(journal), first.size() + second.size());
    EXPECT_TRUE(removejournal(journal, name.c_str()));
    std::filesystem::current_path(previous);
}

// The kernel escapes blanks, tabs, line feeds and backslashes in the fields
// of mountinfo; a mount point or source with them must still be recognised.
TEST(Names, MountinfoLinesGiveTheirFieldsUnescaped)
{
    names::mountline line;
    ASSERT_TRUE(names::parsemountinfo("36 35 98:0 / /media/my\\040card\\011x rw,noatime master:1 shared:7 - "
                                      "ext4 /dev/sdb1 rw,errors=continue\n",
                                      &line));
    EXPECT_EQ(line.devicenumbers, "98:0");
    EXPECT_EQ(line.mountpoint, "/media/my card\tx");
    EXPECT_EQ(line.source, "/dev/sdb1");
    ASSERT_TRUE(names::parsemountinfo("22 1 0:51 / /mnt/a\\134b\\b rw - fuseblk /dev/loop3 rw", &line));
    EXPECT_EQ(line.devicenumbers, "0:51");
    EXPECT_EQ(line.mountpoint, "/mnt/a\\b\\b") << "an escaped backslash, and one that escapes nothing";
    EXPECT_EQ(line.source, "/dev/loop3");
    EXPECT_FALSE(names::parsemountinfo("22 1 0:51 / /mnt rw fuseblk /dev/loop3 rw", &line)) << "no separator";
    EXPECT_FALSE(names::parsemountinfo("22 1 - tmpfs tmpfs rw", &line)) << "too few fields";
}

// A device is held by another process when it or a partition of it is open
// there; the run's own descriptors and other devices are no hold.
TEST(Names, AHolderIsAnotherProcessWithTheDeviceOrAPartitionOpen)
{
    const std::vector<std::string> card = {"8:16", "8:17", "8:18"};
    const std::vector<names::openfile> open = {
        {100, "kapprobe", "8:16"}, {200, "udisksd", "8:0"}, {300, "fusefat", "8:17"}, {400, "dd", "8:16"}};
    const names::openfile* held = names::holder(open, card, 100);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->program, "fusefat") << "a partition held counts, the run itself does not";
    EXPECT_EQ(names::holder(open, {"8:32"}, 100), nullptr);
    EXPECT_EQ(names::holder({{100, "kapprobe", "8:16"}, {200, "udisksd", "8:0"}}, card, 100), nullptr);
}

// A formatting tool is run from the system's own directories only, never
// from a directory that a root shell's search path or the current
// directory offers.
TEST(Names, ToolsComeFromTheSystemsDirectoriesOnly)
{
    const auto installed = [](std::vector<std::string> files) {
        return [files](const std::string& path) {
            return std::find(files.begin(), files.end(), path) != files.end();
        };
    };
    EXPECT_EQ(names::systemtool("mkfs.fat", installed({"/usr/local/bin/mkfs.fat", "/sbin/mkfs.fat"})),
              "/sbin/mkfs.fat");
    EXPECT_EQ(names::systemtool("diskutil", installed({"/usr/sbin/diskutil", "/sbin/diskutil"})),
              "/usr/sbin/diskutil");
    EXPECT_EQ(names::systemtool("mkfs.exfat", installed({"./mkfs.exfat", "/home/user/bin/mkfs.exfat"})), "");
    EXPECT_EQ(names::systemtool("./mkfs.fat", installed({"./mkfs.fat"})), "");
}

TEST(Names, MacDiskNamesTellTheDiskAndItsSlice)
{
    const std::pair<const char*, names::diskname> named[] = {
        {"/dev/disk4", {4, 0}}, {"/dev/rdisk4", {4, 0}}, {"/dev/disk4s2", {4, 2}},
        {"disk10s1", {10, 1}},  {"rdisk0", {0, 0}},
    };
    for (const auto& [path, expected] : named) {
        names::diskname found{};
        ASSERT_TRUE(names::parsediskname(path, &found)) << path;
        EXPECT_EQ(found.disk, expected.disk) << path;
        EXPECT_EQ(found.slice, expected.slice) << path;
    }
    for (const char* path :
         {"/dev/disk", "/dev/disk4s", "/dev/disk4s0", "/dev/sda", "/dev/diskx", "/dev/disk4x"}) {
        names::diskname found{};
        EXPECT_FALSE(names::parsediskname(path, &found)) << path;
    }
    EXPECT_EQ(names::rawdisk(4), "/dev/rdisk4");
    EXPECT_EQ(names::blockdisk(4), "/dev/disk4");
}

// A cache flush or a full sync that the driver or the file system does not
// know loses nothing; every other failure may have lost data.
TEST(Answers, OnlyNotSupportedIsNoLoss)
{
    for (int error : {ENOTTY, ENOTSUP, EOPNOTSUPP})
        EXPECT_TRUE(answers::notsupported(error)) << error;
    for (int error : {0, EIO, ENXIO, ENODEV, EINVAL, EBUSY, EACCES, ENOSPC, EINTR})
        EXPECT_FALSE(answers::notsupported(error)) << error;
}

// The errors a user meets read in German, on each system by its own numbers;
// the rest keep the system's text.
TEST(Answers, TheErrorsUsersMeetAreSaidInGerman)
{
    EXPECT_EQ(answers::reason(ENOENT), "nicht vorhanden");
    EXPECT_EQ(answers::reason(EACCES), "Zugriff verweigert");
    EXPECT_EQ(answers::reason(EBUSY), "in Gebrauch");
    EXPECT_EQ(answers::reason(ENOSPC), "kein Platz mehr frei");
    EXPECT_EQ(answers::reason(EIO), "Ein-/Ausgabefehler");
    EXPECT_EQ(answers::reason(EDOM), "");
    // Windows' ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, ERROR_DEVICE_NOT_CONNECTED.
    EXPECT_EQ(answers::windowsreason(32), "in Gebrauch");
    EXPECT_EQ(answers::windowsreason(112), "kein Platz mehr frei");
    EXPECT_EQ(answers::windowsreason(1167), "das Gerät ist nicht mehr da");
    EXPECT_EQ(answers::windowsreason(87), "") << "ERROR_INVALID_PARAMETER keeps Windows' own text";
}

// As `diskutil list -plist` writes it: the internal disk with its APFS store
// and container, a FAT card, and a container stored on two disks.
const char diskutillist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>AllDisks</key>
	<array><string>disk0</string><string>disk0s1</string><string>disk0s2</string></array>
	<key>AllDisksAndPartitions</key>
	<array>
		<dict>
			<key>Content</key><string>GUID_partition_scheme</string>
			<key>DeviceIdentifier</key><string>disk0</string>
			<key>OSInternal</key><false/>
			<key>Partitions</key>
			<array>
				<dict><key>Content</key><string>EFI</string><key>DeviceIdentifier</key><string>disk0s1</string>
				<key>Size</key><integer>209715200</integer></dict>
				<dict><key>Content</key><string>Apple_APFS</string><key>DeviceIdentifier</key><string>disk0s2</string></dict>
			</array>
			<key>Size</key><integer>500277790720</integer>
		</dict>
		<dict>
			<key>APFSPhysicalStores</key>
			<array><dict><key>DeviceIdentifier</key><string>disk0s2</string></dict></array>
			<key>APFSVolumes</key>
			<array>
				<dict><key>DeviceIdentifier</key><string>disk3s1</string>
				<key>MountedSnapshots</key><array><dict><key>SnapshotBSD</key><string>disk3s1s1</string></dict></array>
				<key>MountPoint</key><string>/</string><key>VolumeName</key><string>Macintosh HD</string></dict>
			</array>
			<key>Content</key><string>EF57347C-0000-11AA-AA11-00306543ECAC</string>
			<key>DeviceIdentifier</key><string>disk3</string>
			<key>Partitions</key><array/>
		</dict>
		<dict>
			<key>Content</key><string>FDisk_partition_scheme</string>
			<key>DeviceIdentifier</key><string>disk4</string>
			<key>Partitions</key>
			<array><dict><key>Content</key><string>DOS_FAT_32</string><key>DeviceIdentifier</key><string>disk4s1</string>
			<key>MountPoint</key><string>/Volumes/R&amp;D &lt;1&gt;</string></dict></array>
		</dict>
		<dict>
			<key>APFSPhysicalStores</key>
			<array>
				<dict><key>DeviceIdentifier</key><string>disk6s2</string></dict>
				<dict><key>DeviceIdentifier</key><string>disk7s2</string></dict>
			</array>
			<key>APFSVolumes</key>
			<array><dict><key>DeviceIdentifier</key><string>disk8s1</string></dict></array>
			<key>DeviceIdentifier</key><string>disk8</string>
		</dict>
	</array>
	<key>WholeDisks</key>
	<array><string>disk0</string><string>disk3</string><string>disk4</string></array>
</dict>
</plist>
)";

TEST(Names, DiskutilListTiesContainersToTheDisksOfTheirStores)
{
    std::vector<names::apfscontainer> containers;
    ASSERT_TRUE(names::parsecontainers(diskutillist, &containers));
    ASSERT_EQ(containers.size(), 2u);
    EXPECT_EQ(containers[0].disk, 3);
    EXPECT_EQ(containers[0].storedisks, std::vector<int>{0});
    EXPECT_EQ(containers[1].disk, 8);
    EXPECT_EQ(containers[1].storedisks, (std::vector<int>{6, 7}));
    for (const char* broken :
         {"", "diskutil: command not found", "<plist version=\"1.0\"><dict><key>AllDisks",
          "<plist version=\"1.0\"><dict><key>WholeDisks</key><array/></dict></plist>"})
        EXPECT_FALSE(names::parsecontainers(broken, &containers)) << broken;
    EXPECT_TRUE(containers.empty());
}

// The mounted volume of a container lies on the disk of its store; a disk
// mounted from itself, or from a system snapshot, lies on itself alone.
TEST(Names, WhatIsMountedLiesOnTheDisksBeneathIt)
{
    std::vector<names::apfscontainer> containers;
    ASSERT_TRUE(names::parsecontainers(diskutillist, &containers));
    const std::tuple<const char*, int, bool> decided[] = {
        {"/dev/disk3s1s1", 0, true}, {"/dev/disk3s1s1", 3, true}, {"/dev/disk3s1", 4, false},
        {"/dev/disk8s1", 6, true},   {"/dev/disk8s1", 7, true},   {"/dev/disk8s1", 0, false},
        {"/dev/disk4s1", 4, true},   {"/dev/disk4", 4, true},     {"/dev/disk4s1", 40, false},
        {"/dev/disk5s1", 5, true},   {"map auto_home", 0, false}, {"devfs", 0, false},
        {"/dev/disk4s", 4, false},   {"/dev/disk4x1", 4, false},
    };
    for (const auto& [source, disk, lies] : decided)
        EXPECT_EQ(names::liesondisk(source, disk, containers), lies) << source << " on disk" << disk;
    EXPECT_FALSE(names::liesondisk("/dev/disk8s1", 6, {})) << "without diskutil's list";
}

TEST(Names, DiskutilInfoNamesTheMedium)
{
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    const std::pair<std::string, std::string> told[] = {
        {head +
             "\t<key>BusProtocol</key>\n\t<string>USB</string>\n\t<key>IORegistryEntryName</key>\n"
             "\t<string>Card &amp; Co  SD Media</string>\n\t<key>MediaName</key>\n"
             "\t<string> Card &amp; Co &quot;SD&quot; &lt;64&gt; </string>\n\t<key>Removable</key><true/>\n"
             "</dict>\n</plist>\n",
         "Card & Co \"SD\" <64>"},
        {head + "<key>IORegistryEntryName</key><string>Apple UDIF read-write Media</string>"
                "<key>MediaName</key><string> </string></dict></plist>",
         "Apple UDIF read-write Media"},
        {head + "<key>Size</key><integer>268435456</integer></dict></plist>", ""},
        {"Could not find disk: /dev/disk9", ""},
    };
    for (const auto& [plist, identity] : told)
        EXPECT_EQ(names::mediaidentity(plist), identity) << plist;
}

} // namespace
