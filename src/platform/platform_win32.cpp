// Win32 half of the platform layer.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
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
// Whether the device is a drive that its own handle holds locked.
bool lockedbyhandle;
// The volumes of the disk, locked and dismounted for the whole run.
std::vector<HANDLE> lockedvolumes;

HANDLE openraw(const std::string& path, DWORD access, DWORD flags)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

// The disk itself, shared with readers only: a second writer (another
// kapprobe.exe, any raw writer) is refused while this run holds it.
HANDLE opendisk(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       rawflags, nullptr);
}

// Windows refuses I/O on an unbuffered handle unless its offset, its size
// and the address of its buffer are multiples of the sector size. Wine lets
// such I/O pass, so the rule is checked here, where every I/O of these
// handles goes through, and broken under Wine as on Windows.
std::map<HANDLE, DWORD> unbuffered;
// The error that a broken rule leaves, an application's own code, and its text.
constexpr DWORD misaligned = 0x20000000 | 1;
std::string brokenrule;

bool aligned(HANDLE file, std::uint64_t offset, const void* data, std::size_t size)
{
    auto found = unbuffered.find(file);
    if (found == unbuffered.end())
        return true;
    const DWORD sector = found->second;
    if (offset % sector == 0 && size % sector == 0 && reinterpret_cast<std::uintptr_t>(data) % sector == 0)
        return true;
    char text[200];
    std::snprintf(text, sizeof text,
                  "ungepufferte Ein-/Ausgabe nicht auf Sektoren zu %lu Bytes ausgerichtet (Stelle %llu, "
                  "%llu Bytes, Puffer bei %#llx)",
                  static_cast<unsigned long>(sector), static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(data)));
    brokenrule = text;
    SetLastError(misaligned);
    return false;
}

// Where a sequential read of file stands now.
std::uint64_t position(HANDLE file)
{
    LARGE_INTEGER zero{}, at{};
    return SetFilePointerEx(file, zero, &at, FILE_CURRENT) ? static_cast<std::uint64_t>(at.QuadPart) : 0;
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
        if (offset == 0 || offset >= got)
            continue;
        std::istringstream words(
            std::string(answer.data() + offset, strnlen(answer.data() + offset, got - offset)));
        for (std::string word; words >> word;)
            identity += (identity.empty() ? "" : " ") + word;
    }
    return identity;
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
            info->reason = systemreason();
            CloseHandle(opened);
            locked = false;
        } else {
            lockedvolumes.push_back(opened);
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

void freebuffer(unsigned char* buffer)
{
    if (buffer != nullptr)
        VirtualFree(buffer, 0, MEM_RELEASE);
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
    filehandle file =
        diskfile(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr));
    DWORD sectorspercluster, sectorsize, free, total;
    if (file != nofile)
        unbuffered[handle(file)] =
            GetDiskFreeSpaceA(nullptr, &sectorspercluster, &sectorsize, &free, &total) ? sectorsize : 512;
    return file;
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
    if (!aligned(handle(file), position(handle(file)), data, size))
        return false;
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
    if (!aligned(handle(file), offset, data, size))
        return false;
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
    unbuffered.erase(handle(file));
    return CloseHandle(handle(file)) != 0;
}

operatingsystem thissystem()
{
    return operatingsystem::windows;
}

std::string systemreason()
{
    const DWORD error = GetLastError();
    if (error == misaligned)
        return brokenrule;
    char reason[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, reason, sizeof reason, nullptr);
    while (length > 0 &&
           (reason[length - 1] == '\n' || reason[length - 1] == '\r' || reason[length - 1] == '.'))
        length--;
    return length > 0 ? std::string(reason, length) : "Fehler " + std::to_string(error);
}

bool privileged()
{
    HANDLE token;
    TOKEN_ELEVATION elevation{};
    DWORD got = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) &&
                          elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

journalhandle createjournal(const char* name, journalopen* how)
{
    // Shared with nobody: held by this run alone until it closes it.
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *how = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? journalopen::inuse
                                                                           : journalopen::failed;
        return nojournal;
    }
    *how = journalopen::opened;
    return reinterpret_cast<journalhandle>(file);
}

journalhandle openjournal(const char* name, journalopen* how)
{
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *how = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? journalopen::missing
               : error == ERROR_SHARING_VIOLATION                             ? journalopen::inuse
                                                                              : journalopen::failed;
        return nojournal;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        SetLastError(ERROR_INVALID_PARAMETER);
        *how = journalopen::failed;
        return nojournal;
    }
    *how = journalopen::opened;
    return reinterpret_cast<journalhandle>(file);
}

bool appendjournal(journalhandle journal, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(journal), data, static_cast<DWORD>(size), &put, nullptr) ||
            put == 0)
            return false;
        data += put;
        size -= put;
    }
    return true;
}

bool readjournal(journalhandle journal, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return readfileat(journal, offset, data, size);
}

bool syncjournal(journalhandle journal)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(journal)) != 0;
}

std::uint64_t journalsize(journalhandle journal)
{
    LARGE_INTEGER size{};
    return GetFileSizeEx(reinterpret_cast<HANDLE>(journal), &size) ? static_cast<std::uint64_t>(size.QuadPart)
                                                                   : 0;
}

void closejournal(journalhandle journal)
{
    CloseHandle(reinterpret_cast<HANDLE>(journal));
}

bool removejournal(journalhandle journal, const char*)
{
    // Marked through the handle that holds it, so that no other run can
    // take the name between the removal and the close.
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    const bool removed = SetFileInformationByHandle(reinterpret_cast<HANDLE>(journal), FileDispositionInfo,
                                                    &remove, sizeof remove) != 0;
    CloseHandle(reinterpret_cast<HANDLE>(journal));
    return removed;
}

std::uint64_t freebytes()
{
    ULARGE_INTEGER available{};
    return GetDiskFreeSpaceExA(nullptr, &available, nullptr, nullptr) ? available.QuadPart : 0;
}

bool directoryinmemory()
{
    return GetDriveTypeA(nullptr) == DRIVE_RAMDISK;
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
            info->whole = std::string(1, place[0]) + ":";
            return nodevice;
        }
    }
    if (!heldalone(known ? "disk" + std::to_string(disk) : target)) {
        info->why = refusal::cannotopen;
        info->reason = "ein anderer Lauf von kapprobe prüft diese Platte";
        return nodevice;
    }
    lockedbyhandle = target.find("PhysicalDrive") == std::string::npos;
    if (!lockedbyhandle && !lockvolumes(disk, info)) {
        info->why = refusal::cannotopen;
        return nodevice;
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
    unbuffered[device] = info->sectorsize;
    info->identity = identityof(device);
    info->node = target;
    info->disknumber = known ? static_cast<int>(disk) : -1;
    return reinterpret_cast<devicehandle>(device);
}

bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return readfileat(device, offset, data, size);
}

bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    if (!aligned(handle(device), offset, data, size))
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

bool reopendevice(devicehandle* device)
{
    // Closing the last handle lets go of whatever the system kept of the
    // writes, where it ignored the unbuffered flags.
    const DWORD sector = unbuffered[handle(*device)];
    unbuffered.erase(handle(*device));
    CloseHandle(handle(*device));
    HANDLE again = opendisk(devicepath);
    *device = reinterpret_cast<devicehandle>(again);
    if (again == INVALID_HANDLE_VALUE)
        return false;
    unbuffered[again] = sector;
    return !lockedbyhandle || lock(again);
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
