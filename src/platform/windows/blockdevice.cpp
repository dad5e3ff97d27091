// A whole disk on Windows: a drive or a volume stands for the disk it lies
// on; the disk of Windows and of the current directory are refused; every
// volume of the disk is locked and dismounted for the whole run, on handles
// held open until it ends; the disk is read and written unbuffered and
// write-through.
#include "platform/blockdevice.h"

#include "platform/drives.h"
#include "platform/names.h"
#include "platform/process.h"
#include "platform/windows/windows.h"

#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using windowssystem::handle;

namespace {

// Raw, past the system's cache, each write on the medium before it returns.
constexpr DWORD rawflags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
// Each device as opendevice opened it, by its handle, to open it again the
// same way: its path, and whether it is a volume that its own handle holds
// locked. Several devices are probed at once, each on a thread of its own.
struct openeddevice {
    std::string path;
    bool lockedbyhandle;
    // The volumes of the disk, locked and dismounted for as long as the
    // device is open: a lock lasts as long as its handle, and a dismounted
    // volume that nobody holds locked may be mounted again by any process
    // at any time.
    std::vector<HANDLE> volumes;
};
std::mutex deviceslock;
std::map<HANDLE, openeddevice> devices;

// A disk or a volume for raw I/O. Windows opens a disk or a volume only
// with both share flags, and locks a volume only on a handle opened so;
// one probe per disk is kept by a name the run holds (heldalone).
HANDLE openraw(const std::string& path, DWORD access, DWORD flags)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

HANDLE opendisk(const std::string& path)
{
    return openraw(path, GENERIC_READ | GENERIC_WRITE, rawflags);
}

// Maker, model and serial number as the disk tells them.
std::string identityof(HANDLE device)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<char> answer(4096);
    DWORD got = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer.data(),
                         static_cast<DWORD>(answer.size()), &got, nullptr) ||
        got < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return "";
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(answer.data());
    std::string identity;
    for (DWORD offset :
         {descriptor->VendorIdOffset, descriptor->ProductIdOffset, descriptor->SerialNumberOffset}) {
        if (offset != 0 && offset < got)
            identity +=
                " " + std::string(answer.data() + offset, strnlen(answer.data() + offset, got - offset));
    }
    return names::words(identity);
}

// The number of the disk that path, a drive, a volume or a disk, lies on;
// false where the system does not tell.
bool disknumber(const std::string& path, DWORD* number)
{
    HANDLE device = openraw(path, 0, 0);
    if (device == INVALID_HANDLE_VALUE)
        return false;
    STORAGE_DEVICE_NUMBER found{};
    DWORD got = 0;
    bool told = DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &found, sizeof found,
                                &got, nullptr) != 0;
    CloseHandle(device);
    *number = found.DeviceNumber;
    return told;
}

// The volume that directory lies on, as a device to open, and the root it
// is reached at (C:\, or a folder where it is mounted); empty where the
// system does not tell.
std::string volumeof(const char* directory, std::string* root)
{
    char path[MAX_PATH] = "", volume[MAX_PATH] = "";
    if (!GetVolumePathNameA(directory, path, MAX_PATH))
        return "";
    *root = path;
    if (!root->empty() && root->back() == '\\')
        root->pop_back();
    if (GetVolumeNameForVolumeMountPointA(path, volume, MAX_PATH))
        return drives::volumedevice(volume);
    // Without volume names (Wine) a drive's root still names its drive.
    const drives::argument drive = drives::classify(*root);
    return drive.what == drives::kind::drive ? drive.path : "";
}

bool lock(HANDLE volume)
{
    DWORD got = 0;
    if (!DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr))
        return false;
    DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
    return true;
}

// Where volume lies, asked with room for as many extents as it has.
drives::place placeofvolume(const std::string& volume, DWORD disk)
{
    HANDLE opened = openraw(volume, 0, 0);
    if (opened == INVALID_HANDLE_VALUE)
        return drives::placeofvolume(false, GetLastError(), {}, disk);
    std::vector<unsigned char> answer(sizeof(VOLUME_DISK_EXTENTS));
    drives::place found;
    for (;;) {
        DWORD got = 0;
        const bool answered =
            DeviceIoControl(opened, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer.data(),
                            static_cast<DWORD>(answer.size()), &got, nullptr) != 0;
        const DWORD error = answered ? ERROR_SUCCESS : GetLastError();
        const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(answer.data());
        std::vector<unsigned long> disks;
        for (DWORD index = 0; answered && index < extents->NumberOfDiskExtents; index++)
            disks.push_back(extents->Extents[index].DiskNumber);
        const auto room = static_cast<unsigned long>(
            (answer.size() - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT));
        const unsigned long reported =
            got >= offsetof(VOLUME_DISK_EXTENTS, Extents) ? extents->NumberOfDiskExtents : 0;
        found = drives::placeofvolume(answered, error, disks, disk, reported, room);
        if (found != drives::place::askagain)
            break;
        answer.resize(offsetof(VOLUME_DISK_EXTENTS, Extents) +
                      extents->NumberOfDiskExtents * sizeof(DISK_EXTENT));
    }
    const DWORD error = GetLastError();
    CloseHandle(opened);
    SetLastError(error);
    return found;
}

// Locks and dismounts every volume on disk, as Windows writes no sector of a
// mounted volume, and keeps their handles in held; false, with the
// reason, when one is in use or cannot be examined.
bool lockvolumes(DWORD disk, deviceinfo* info, std::vector<HANDLE>* held)
{
    char name[MAX_PATH];
    HANDLE found = FindFirstVolumeA(name, sizeof name);
    if (found == INVALID_HANDLE_VALUE)
        return true;
    bool locked = true;
    do {
        const std::string volume = drives::volumedevice(name);
        const drives::place where = placeofvolume(volume, disk);
        if (where == drives::place::unknown) {
            info->reason =
                "der Datenträger " + volume + " lässt sich nicht untersuchen (" + systemreason() + ")";
            locked = false;
            continue;
        }
        if (where != drives::place::onthisdisk)
            continue;
        HANDLE opened = openraw(volume, GENERIC_READ | GENERIC_WRITE, 0);
        if (opened == INVALID_HANDLE_VALUE || !lock(opened)) {
            info->reason = "der Datenträger " + volume + " ist in Gebrauch (" + systemreason() + ")";
            if (opened != INVALID_HANDLE_VALUE)
                CloseHandle(opened);
            locked = false;
        } else {
            held->push_back(opened);
        }
    } while (locked && FindNextVolumeA(found, name, sizeof name));
    FindVolumeClose(found);
    return locked;
}

// One probe per disk: besides the disk's own sharing, which keeps other
// writers out on Windows but not under Wine, a name that this process holds
// until it ends, which a second kapprobe.exe finds taken.
bool heldalone(const std::string& disk)
{
    std::string name = "Global\\kapprobe-";
    for (char c : disk)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    HANDLE held = CreateMutexA(nullptr, FALSE, name.c_str());
    return held != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
}

// One sector at offset can be read: the device reaches that far.
bool reaches(HANDLE device, std::uint64_t offset, unsigned char* sector, DWORD size)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(device, sector, size, &got, &at) && got == size;
}

// The size of a device that does not tell it: the end found by reading.
std::uint64_t sizebyreading(HANDLE device, DWORD sectorsize)
{
    unsigned char* sector = allocbuffer(sectorsize);
    std::uint64_t low = 0, high = sectorsize;
    if (sector == nullptr || !reaches(device, 0, sector, sectorsize)) {
        freebuffer(sector);
        return 0;
    }
    while (reaches(device, high, sector, sectorsize)) {
        low = high;
        high *= 2;
    }
    // low is a sector that can be read, high one that cannot.
    while (high - low > sectorsize) {
        std::uint64_t middle = low + (high - low) / 2 / sectorsize * sectorsize;
        (reaches(device, middle, sector, sectorsize) ? low : high) = middle;
    }
    freebuffer(sector);
    return high;
}

// The device's logical and physical sector sizes, each 0 where it does not
// tell them.
STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR sectorsizes(HANDLE device)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DWORD got = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                         sizeof alignment, &got, nullptr))
        return STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR{};
    return alignment;
}

// The logical sector size as the system tells it; 0 where it does not.
DWORD logicalsectorsize(HANDLE device, const STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR& sizes)
{
    if (sizes.BytesPerLogicalSector > 0)
        return sizes.BytesPerLogicalSector;
    DISK_GEOMETRY geometry{};
    DWORD got = 0;
    if (DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &got,
                        nullptr) &&
        geometry.BytesPerSector > 0)
        return geometry.BytesPerSector;
    return 0;
}

// The device that given stands for, with *known set where the system tells
// the number of its disk, *disk. A drive or a volume stands for its whole
// disk; where the system has a volume but no disk to go with it (Wine), the
// volume itself is the device.
std::string standsfor(const drives::argument& given, DWORD* disk, bool* known)
{
    *disk = given.disk >= 0 ? static_cast<DWORD>(given.disk) : MAXDWORD;
    *known = given.what == drives::kind::disk || disknumber(given.path, disk);
    if ((given.what == drives::kind::drive || given.what == drives::kind::volume) && *known) {
        HANDLE test = openraw(drives::diskpath(*disk), 0, 0);
        if (test != INVALID_HANDLE_VALUE) {
            CloseHandle(test);
            return drives::diskpath(*disk);
        }
    }
    return given.path;
}

} // namespace

std::string devicekey(const char* path)
{
    DWORD disk;
    bool known;
    std::string device = standsfor(drives::classify(path), &disk, &known);
    // Windows reads its names regardless of case.
    std::transform(device.begin(), device.end(), device.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return device;
}

devicehandle opendevice(const char* path, deviceinfo* info)
{
    *info = deviceinfo{};
    DWORD disk;
    bool known;
    const std::string target = standsfor(drives::classify(path), &disk, &known);
    char windows[MAX_PATH] = "", current[MAX_PATH] = "";
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, current);
    for (const char* place : {windows, current}) {
        std::string root;
        const std::string volume = place[0] != '\0' ? volumeof(place, &root) : "";
        DWORD other;
        if (known && !volume.empty() && disknumber(volume, &other) && other == disk) {
            info->why = refusal::systemdisk;
            info->whole = root;
            return devicehandle::none;
        }
    }
    // Named by the disk where that is what opens, else by the volume that is
    // the device (under Wine every drive tells the same disk number).
    const bool lockedbyhandle = !known || target != drives::diskpath(disk);
    if (!heldalone(lockedbyhandle ? target : "disk" + std::to_string(disk))) {
        info->why = refusal::cannotopen;
        info->reason = "ein anderer Lauf von kapprobe prüft diese Platte";
        return devicehandle::none;
    }
    std::vector<HANDLE> volumes;
    if (!lockedbyhandle && !lockvolumes(disk, info, &volumes)) {
        for (HANDLE volume : volumes)
            CloseHandle(volume);
        info->why = refusal::cannotopen;
        return devicehandle::none;
    }
    HANDLE device = opendisk(target);
    if (device == INVALID_HANDLE_VALUE || (lockedbyhandle && !lock(device))) {
        const DWORD error = GetLastError();
        info->why = error == ERROR_ACCESS_DENIED                                     ? refusal::notpermitted
                    : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? refusal::notfound
                                                                                     : refusal::cannotopen;
        info->reason = systemreason();
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
        for (HANDLE volume : volumes)
            CloseHandle(volume);
        return devicehandle::none;
    }
    const STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR sizes = sectorsizes(device);
    info->sectorsize = logicalsectorsize(device, sizes);
    // Where the system does not tell (Wine), blocks of 4 KiB are whole
    // sectors of either kind of device.
    info->sectorguessed = info->sectorsize == 0;
    if (info->sectorguessed)
        info->sectorsize = 4096;
    info->physicalsize = sizes.BytesPerPhysicalSector;
    GET_LENGTH_INFORMATION length{};
    DWORD got = 0;
    info->size =
        DeviceIoControl(device, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got, nullptr)
            ? static_cast<std::uint64_t>(length.Length.QuadPart)
            : sizebyreading(device, info->sectorsize);
    {
        const std::lock_guard<std::mutex> hold(deviceslock);
        devices[device] = {target, lockedbyhandle, volumes};
    }
    windowssystem::unbuffered(device, info->sectorsize);
    info->identity = identityof(device);
    info->node = target;
    info->disknumber = known ? static_cast<int>(disk) : -1;
    return windowssystem::held<devicehandle>(device);
}

bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return windowssystem::readat(handle(device), offset, data, size);
}

bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    if (!windowssystem::aligned(handle(device), offset, data, size))
        return false;
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD put = 0;
        if (!WriteFile(handle(device), data, static_cast<DWORD>(size), &put, &at) || put == 0)
            return false;
        data += put;
        offset += put;
        size -= put;
    }
    return true;
}

bool flushdevice(devicehandle device)
{
    return FlushFileBuffers(handle(device)) != 0;
}

void closedevice(devicehandle device)
{
    openeddevice was;
    {
        const std::lock_guard<std::mutex> hold(deviceslock);
        was = devices[handle(device)];
        devices.erase(handle(device));
    }
    windowssystem::buffered(handle(device));
    CloseHandle(handle(device));
    for (HANDLE volume : was.volumes)
        CloseHandle(volume);
}

bool reopendevice(devicehandle* device)
{
    // Windows reads an unbuffered handle from the medium: nothing is to be
    // let go, and the volumes' locks stay as they are.
    if (!windowssystem::underwine())
        return true;
    // Wine reads through Linux's page cache, which lets go of the device's
    // data only when its last descriptor is closed.
    const DWORD sector = windowssystem::sectorsizeof(handle(*device));
    openeddevice was;
    {
        const std::lock_guard<std::mutex> hold(deviceslock);
        was = devices[handle(*device)];
        devices.erase(handle(*device));
    }
    windowssystem::buffered(handle(*device));
    CloseHandle(handle(*device));
    HANDLE again = opendisk(was.path);
    *device = windowssystem::held<devicehandle>(again);
    if (again == INVALID_HANDLE_VALUE)
        return false;
    {
        const std::lock_guard<std::mutex> hold(deviceslock);
        devices[again] = was;
    }
    windowssystem::unbuffered(again, sector);
    return !was.lockedbyhandle || lock(again);
}
