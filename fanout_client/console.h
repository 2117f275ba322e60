// Everything the client prints that is not a channel's own message: colour tags,
// the usage text and the version banner. A result line is a coloured tag, a blank,
// the message and a line end, written to standard output.
#ifndef FANOUT_CLIENT_CONSOLE_H
#define FANOUT_CLIENT_CONSOLE_H

#include <string>

enum COLOR_SYMBOL { CS_RED = 1, CS_GREEN = 2 };

// str wrapped in the ANSI colour sequences of cs; any other value returns str unchanged.
std::string ColorString(const std::string& str, COLOR_SYMBOL cs);

// The 15-line usage text, sProcName (argv[0]) standing in every example line.
void Usage(const std::string& sProcName);

void ShowVersion();

#endif  // FANOUT_CLIENT_CONSOLE_H
