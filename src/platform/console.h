// Standard output and the terminal behind it.
#pragma once

#include <string>

// Puts the null device where standard input, output or error is closed, so
// that no test file can take its place and receive the messages.
void openstandardstreams();

// Lets the console show the UTF-8 messages.
void setupconsole();

// The width in columns, now, of the terminal that standard output goes to,
// which then also understands the erase to the end of the line ("\x1b[K");
// 0 when standard output is a file, a pipe or a terminal that cannot erase
// (TERM=dumb), where nothing is rewritten.
int terminalcolumns();

// The height in rows, now, of that terminal; 0 where terminalcolumns is 0.
int terminalrows();

// True when standard input is a terminal, at which a user can answer.
bool inputfromterminal();

// A line typed on standard input, without its end; empty where none came,
// and as soon as a stop is asked for, which does not wait for Enter.
std::string typedline();
