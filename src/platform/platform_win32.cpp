// Win32 half of the platform layer.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

volatile LONG stopevent = -1;

BOOL WINAPI rememberstop(DWORD event)
{
    InterlockedExchange(&stopevent, static_cast<LONG>(event));
    // Windows ends the process once this returns from a closed console: wait
    // here, so that the main thread writes back as much as the system allows.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

HANDLE handle(filehandle file)
{
    return reinterpret_cast<HANDLE>(file);
}

// The device as opendevice opened it, to open it again the same way: raw,
// past the system's cache, each write on the medium before it returns.
std::string devicepath;
constexpr DWORD rawflags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
// The disk's number, where the system tells it, and whether the device is a
// drive that its own handle holds locked.
DWORD devicedisk = MAXDWORD;
bool lockedbyhandle;
// The volumes of the disk, locked and dismounted for the whole run.
std::vector<HANDLE> lockedvolumes;

HANDLE openraw(const std::string& path, DWORD access, DWORD flags)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

void systemreason(char* reason, std::size_t size)
{
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  GetLastError(), 0, reason, static_cast<DWORD>(size), nullptr);
    while (length > 0 &&
           (reason[length - 1] == '\n' || reason[length - 1] == '\r' || reason[length - 1] == '.'))
        reason[--length] = '\0';
    if (length == 0)
        std::snprintf(reason, size, "Fehler %lu", GetLastError());
}

std::string drivepath(char letter)
{
    return std::string("\\\\.\\") + letter + ":";
}

// The number of the disk that path, a drive or a disk, lies on; false where
// the system does not tell.
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

bool lock(HANDLE volume)
{
    DWORD got = 0;
    if (!DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr))
        return false;
    DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
    return true;
}

// Locks and dismounts every volume on disk, as Windows writes no sector of a
// mounted volume; false, with the reason, when one is in use.
bool lockvolumes(DWORD disk, deviceinfo* info)
{
    char name[MAX_PATH];
    HANDLE found = FindFirstVolumeA(name, sizeof name);
    if (found == INVALID_HANDLE_VALUE)
        return true;
    bool locked = true;
    do {
        std::string volume = name;
        if (!volume.empty() && volume.back() == '\\')
            volume.pop_back();
        HANDLE opened = openraw(volume, GENERIC_READ | GENERIC_WRITE, 0);
        VOLUME_DISK_EXTENTS extents{};
        DWORD got = 0;
        if (opened == INVALID_HANDLE_VALUE)
            continue;
        if (!DeviceIoControl(opened, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                             sizeof extents, &got, nullptr) ||
            extents.Extents[0].DiskNumber != disk) {
            CloseHandle(opened);
            continue;
        }
        if (!lock(opened)) {
            systemreason(info->reason, sizeof info->reason);
            CloseHandle(opened);
            locked = false;
        } else {
            lockedvolumes.push_back(opened);
        }
    } while (locked && FindNextVolumeA(found, name, sizeof name));
    FindVolumeClose(found);
    return locked;
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
    auto* sector =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (sector == nullptr || !reaches(device, 0, sector, sectorsize))
        return 0;
    std::uint64_t low = 0, high = sectorsize;
    while (reaches(device, high, sector, sectorsize)) {
        low = high;
        high *= 2;
    }
    // low is a sector that can be read, high one that cannot.
    while (high - low > sectorsize) {
        std::uint64_t middle = low + (high - low) / 2 / sectorsize * sectorsize;
        (reaches(device, middle, sector, sectorsize) ? low : high) = middle;
    }
    VirtualFree(sector, 0, MEM_RELEASE);
    return high;
}

DWORD logicalsectorsize(HANDLE device)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DISK_GEOMETRY geometry{};
    DWORD got = 0;
    if (DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                        sizeof alignment, &got, nullptr) &&
        alignment.BytesPerLogicalSector > 0)
        return alignment.BytesPerLogicalSector;
    if (DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &got,
                        nullptr) &&
        geometry.BytesPerSector > 0)
        return geometry.BytesPerSector;
    // Where the system does not tell (Wine), blocks of 4 KiB are whole
    // sectors of either kind of device.
    return 4096;
}

// The handle of a file on a disk; anything else (a pipe, a console, a
// device) is closed again and gives nofile.
filehandle diskfile(HANDLE file)
{
    if (file == INVALID_HANDLE_VALUE)
        return nofile;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return nofile;
    }
    return reinterpret_cast<filehandle>(file);
}

} // namespace

bool QueryPerformanceFrequency(std::int64_t* frequency)
{
    LARGE_INTEGER value;
    if (!::QueryPerformanceFrequency(&value))
        return false;
    *frequency = value.QuadPart;
    return true;
}

bool QueryPerformanceCounter(std::int64_t* count)
{
    LARGE_INTEGER value;
    if (!::QueryPerformanceCounter(&value))
        return false;
    *count = value.QuadPart;
    return true;
}

// Files are handles of their own on Windows and never take the place of a
// closed standard stream.
void openstandardstreams() {}

void setupconsole()
{
    SetConsoleOutputCP(CP_UTF8);
}

int terminalcolumns()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    CONSOLE_SCREEN_BUFFER_INFO console;
    // Only a console window that takes the erase sequence gets a live line.
    if (!GetConsoleMode(out, &mode) || !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
        !GetConsoleScreenBufferInfo(out, &console))
        return 0;
    return console.srWindow.Right - console.srWindow.Left + 1;
}

bool lockdirectory(bool exclusive)
{
    // A handle on the directory, held until the process ends, whose sharing
    // shuts out the others: a writing run asks for write access, every run
    // denies it to others, so writers exclude everybody and readers only
    // writers. Listing the directory needs no write access and goes on.
    HANDLE directory =
        CreateFileA(".", exclusive ? FILE_WRITE_DATA : FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return directory != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION;
}

unsigned char* allocbuffer(std::size_t size)
{
    // Whole pages, as unbuffered reads require.
    return static_cast<unsigned char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

filehandle createfile(const char* name)
{
    DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return nofile;
    // Truncated only once it is known to be a disk file of one name.
    filehandle file = diskfile(CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (file != nofile && (!GetFileInformationByHandle(handle(file), &information) ||
                           information.nNumberOfLinks > 1 || !SetEndOfFile(handle(file)))) {
        CloseHandle(handle(file));
        return nofile;
    }
    return file;
}

filehandle openfile(const char* name)
{
    // Unbuffered: every read goes to the medium, not to what the system
    // cache still holds of the write pass.
    return diskfile(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr));
}

bool writefile(filehandle file, const unsigned char* data, std::size_t size)
{
    DWORD written = 0;
    return WriteFile(handle(file), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

// Windows writes removable media through by default; the flush before the
// close covers the rest.
bool writebehind(filehandle, std::uint64_t)
{
    return true;
}

bool flushfile(filehandle file)
{
    return FlushFileBuffers(handle(file)) != 0;
}

bool readfile(filehandle file, unsigned char* data, std::size_t size)
{
    while (size > 0) {
        DWORD got = 0;
        if (!ReadFile(handle(file), data, static_cast<DWORD>(size), &got, nullptr) || got == 0)
            return false;
        data += got;
        size -= got;
    }
    return true;
}

bool readfileat(filehandle file, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle(file), data, static_cast<DWORD>(size), &got, &at) || got == 0)
            return false;
        data += got;
        offset += got;
        size -= got;
    }
    return true;
}

bool removefile(const char* name)
{
    return DeleteFileA(name) != 0;
}

bool closefile(filehandle file)
{
    return CloseHandle(handle(file)) != 0;
}

devicehandle opendevice(const char* path, deviceinfo* info)
{
    *info = deviceinfo{};
    std::string target = path;
    const bool drive = (target.size() == 2 || (target.size() == 3 && target[2] == '\\')) &&
                       target[1] == ':' && std::isalpha(static_cast<unsigned char>(target[0]));
    if (drive)
        target = drivepath(target[0]);
    DWORD disk = MAXDWORD;
    const bool known = disknumber(target, &disk);
    // A drive stands for its whole disk; where the system has a drive but no
    // disk to go with it (Wine), the drive itself is the device.
    if (drive && known) {
        std::string whole = "\\\\.\\PhysicalDrive" + std::to_string(disk);
        HANDLE test = openraw(whole, 0, 0);
        if (test != INVALID_HANDLE_VALUE) {
            CloseHandle(test);
            target = whole;
        }
    }
    char windows[MAX_PATH] = "", current[MAX_PATH] = "";
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, current);
    for (const char* place : {windows, current}) {
        DWORD other;
        if (known && place[0] != '\0' && place[1] == ':' && disknumber(drivepath(place[0]), &other) &&
            other == disk) {
            info->why = refusal::systemdisk;
            std::snprintf(info->whole, sizeof info->whole, "%c:", place[0]);
            return nodevice;
        }
    }
    lockedbyhandle = target.find("PhysicalDrive") == std::string::npos;
    if (!lockedbyhandle && !lockvolumes(disk, info)) {
        info->why = refusal::cannotopen;
        return nodevice;
    }
    HANDLE device = openraw(target, GENERIC_READ | GENERIC_WRITE, rawflags);
    if (device == INVALID_HANDLE_VALUE || (lockedbyhandle && !lock(device))) {
        info->why = refusal::cannotopen;
        systemreason(info->reason, sizeof info->reason);
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
        return nodevice;
    }
    info->sectorsize = logicalsectorsize(device);
    GET_LENGTH_INFORMATION length{};
    DWORD got = 0;
    info->size =
        DeviceIoControl(device, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got, nullptr)
            ? static_cast<std::uint64_t>(length.Length.QuadPart)
            : sizebyreading(device, info->sectorsize);
    devicepath = target;
    devicedisk = known ? disk : MAXDWORD;
    return reinterpret_cast<devicehandle>(device);
}

bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return readfileat(device, offset, data, size);
}

bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
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

bool reopendevice(devicehandle* device)
{
    // Closing the last handle lets go of whatever the system kept of the
    // writes, where it ignored the unbuffered flags.
    CloseHandle(handle(*device));
    HANDLE again = openraw(devicepath, GENERIC_READ | GENERIC_WRITE, rawflags);
    *device = reinterpret_cast<devicehandle>(again);
    return again != INVALID_HANDLE_VALUE && (!lockedbyhandle || lock(again));
}

std::string partitioncommands(const char*, std::uint64_t mib)
{
    // diskpart puts the partition at 1 MiB: it may be a MiB shorter.
    const std::string disk = devicedisk != MAXDWORD ? std::to_string(devicedisk) : "<Nummer>";
    return "    diskpart\n    select disk " + disk +
           "\n    clean\n    create partition primary size=" + std::to_string(mib > 1 ? mib - 1 : 1) +
           "\n    format fs=fat32 quick\n    assign\n";
}

void catchstops()
{
    SetConsoleCtrlHandler(rememberstop, TRUE);
}

bool stoprequested()
{
    return stopevent != -1;
}

void abnormalend()
{
    static constexpr char notice[] = "\r\nabnormal program termination\r\n";
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), notice, sizeof notice - 1, &written, nullptr);
    ExitProcess(3);
}
