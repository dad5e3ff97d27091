#include "platform/process.h"

#include "platform/answers.h"
#include "platform/drives.h"
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
    if (std::string german = answers::windowsreason(error); !german.empty())
        return german;
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

toolrun runtool(const std::vector<std::string>& arguments)
{
    toolrun run;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE reading = nullptr, writing = nullptr;
    if (arguments.empty() || !CreatePipe(&reading, &writing, &inherited, 0))
        return run;
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                 OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nothing;
    start.hStdOutput = writing;
    start.hStdError = writing;
    PROCESS_INFORMATION process{};
    std::string line = drives::commandline(arguments);
    // The system's own tool from the system's directory, never one that
    // lies in the current directory, which the search would try first.
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof system);
    const std::string program = std::string(system) + "\\" + arguments[0];
    run.started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &start, &process) != 0;
    CloseHandle(writing);
    if (nothing != INVALID_HANDLE_VALUE)
        CloseHandle(nothing);
    char buffer[4096];
    DWORD got = 0;
    while (run.started && ReadFile(reading, buffer, sizeof buffer, &got, nullptr) && got > 0)
        run.output.append(buffer, got);
    CloseHandle(reading);
    if (!run.started)
        return run;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    run.status = static_cast<int>(status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}
