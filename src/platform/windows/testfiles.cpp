// Windows writes removable media through by default; kapmess flushes each
// file at every step of the write pass and before it is closed; the verify
// pass reads without the system cache.
#include "platform/testfiles.h"

#include "platform/windows/windows.h"

using windowssystem::handle;

namespace {

// The handle of a file on a disk; anything else (a pipe, a console, a
// device) is closed again and gives none.
filehandle diskfile(HANDLE file)
{
    if (file == INVALID_HANDLE_VALUE)
        return filehandle::none;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return filehandle::none;
    }
    return windowssystem::held<filehandle>(file);
}

} // namespace

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

filehandle createfile(const char* name)
{
    DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return filehandle::none;
    // Truncated only once it is known to be a disk file of one name.
    filehandle file = diskfile(CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (file != filehandle::none && (!GetFileInformationByHandle(handle(file), &information) ||
                                     information.nNumberOfLinks > 1 || !SetEndOfFile(handle(file)))) {
        CloseHandle(handle(file));
        return filehandle::none;
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
    if (file == filehandle::none)
        return file;
    // The sector size of the file's own volume, also where it is mounted in
    // a folder of another drive.
    char root[MAX_PATH];
    DWORD sectorspercluster, sectorsize, free, total;
    const bool told = GetVolumePathNameA(name, root, MAX_PATH) &&
                      GetDiskFreeSpaceA(root, &sectorspercluster, &sectorsize, &free, &total);
    windowssystem::unbuffered(handle(file), told ? sectorsize : 512);
    return file;
}

// Unbuffered reads come from the device, whatever the file system.
bool readfrommedium()
{
    return true;
}

bool writefile(filehandle file, const unsigned char* data, std::size_t size)
{
    DWORD written = 0;
    return WriteFile(handle(file), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

bool writebehind(filehandle file, std::uint64_t written)
{
    // Windows writes removable media through, but keeps what goes to a
    // reader it takes for a fixed disk in its cache: a flush at every step
    // keeps the writer at the medium's pace there too.
    return written % writebehindstep != 0 || FlushFileBuffers(handle(file)) != 0;
}

bool flushfile(filehandle file)
{
    return FlushFileBuffers(handle(file)) != 0;
}

bool readfileat(filehandle file, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return windowssystem::readat(handle(file), offset, data, size);
}

bool closefile(filehandle file)
{
    windowssystem::buffered(handle(file));
    return CloseHandle(handle(file)) != 0;
}
