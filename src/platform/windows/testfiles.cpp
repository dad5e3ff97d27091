// Windows writes removable media through by default and flushes each file
// before it is closed; the verify pass reads without the system cache.
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
    DWORD sectorspercluster, sectorsize, free, total;
    if (file != filehandle::none)
        windowssystem::unbuffered(
            handle(file),
            GetDiskFreeSpaceA(nullptr, &sectorspercluster, &sectorsize, &free, &total) ? sectorsize : 512);
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
    LARGE_INTEGER zero{}, at{};
    const std::uint64_t position =
        SetFilePointerEx(handle(file), zero, &at, FILE_CURRENT) ? static_cast<std::uint64_t>(at.QuadPart) : 0;
    if (!windowssystem::aligned(handle(file), position, data, size))
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
    return windowssystem::readat(handle(file), offset, data, size);
}

bool closefile(filehandle file)
{
    windowssystem::buffered(handle(file));
    return CloseHandle(handle(file)) != 0;
}
