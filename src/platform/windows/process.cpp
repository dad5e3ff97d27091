#include "platform/process.h"

#include "platform/windows/windows.h"

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

} // namespace

operatingsystem thissystem()
{
    return operatingsystem::windows;
}

std::string systemreason()
{
    const DWORD error = GetLastError();
    if (error == windowssystem::misaligned)
        return windowssystem::brokenrule();
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

void catchstops()
{
    SetConsoleCtrlHandler(rememberstop, TRUE);
}

bool stoprequested()
{
    return stopevent != -1;
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

void abnormalend()
{
    static constexpr char notice[] = "\r\nabnormal program termination\r\n";
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), notice, sizeof notice - 1, &written, nullptr);
    ExitProcess(3);
}
