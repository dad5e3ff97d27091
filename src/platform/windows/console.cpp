#include "platform/console.h"

#include "platform/process.h"

#include <cstdio>
#include <windows.h>

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

int terminalrows()
{
    CONSOLE_SCREEN_BUFFER_INFO console;
    if (terminalcolumns() == 0 || !GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &console))
        return 0;
    return console.srWindow.Bottom - console.srWindow.Top + 1;
}

bool inputfromterminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::string typedline()
{
    // Ctrl-C ends the console's read, which then gives nothing.
    char line[512];
    if (std::fgets(line, sizeof line, stdin) == nullptr || stoprequested())
        return "";
    std::string typed = line;
    while (!typed.empty() && (typed.back() == '\n' || typed.back() == '\r'))
        typed.pop_back();
    return typed;
}
