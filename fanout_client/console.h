// Everything the client prints: colour tags, result lines, the usage text and the
// version banner. A result line is a coloured tag, a blank, the message and a line
// end, written to standard output.
#ifndef FANOUT_CLIENT_CONSOLE_H
#define FANOUT_CLIENT_CONSOLE_H

#include <cstdarg>
#include <string>

enum COLOR_SYMBOL { CS_RED = 1, CS_GREEN = 2 };

// The tag that opens a result line: "[OK]" in green or "[ERROR]" in red.
enum RESULT_TAG { RT_OK, RT_ERROR };

// str wrapped in the ANSI colour sequences of cs; any other value returns str unchanged.
std::string ColorString(const std::string& str, COLOR_SYMBOL cs);

// The 15-line usage text, sProcName (argv[0]) standing in every example line.
void Usage(const std::string& sProcName);

void ShowVersion();

// One result line on standard output: the tag, a blank, then szFmt formatted as printf
// formats it (szFmt ends the line itself).
__attribute__((format(printf, 2, 3))) void PrintResult(RESULT_TAG eTag, const char* szFmt, ...);
__attribute__((format(printf, 2, 0))) void VPrintResult(RESULT_TAG eTag, const char* szFmt,
                                                        va_list args);

#endif  // FANOUT_CLIENT_CONSOLE_H
