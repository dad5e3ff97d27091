// Win32 half of the platform layer.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>

namespace {

volatile LONG stopevent = -1;

BOOL WINAPI rememberstop(DWORD event)
{
    InterlockedExchange(&stopevent, static_cast<LONG>(event));
    return TRUE;
}

HANDLE handle(filehandle file)
{
    return reinterpret_cast<HANDLE>(file);
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
