// Option scanning and validation of one run, and the whole-file reader.
#ifndef FANOUT_CLIENT_OPTIONS_H
#define FANOUT_CLIENT_OPTIONS_H

#include <string>

// Fills the server list and the settings from argv (argv[1] is the channel word) and
// checks them for the channel in g_eFunc. Returns true when all is valid; on invalid
// input or a help option it prints and ends the process itself.
bool Initialize(int argc, char** argv);

// True when every byte is a-z, A-Z, 0-9, ';', '_' or '-' (an empty list is valid).
bool CheckNameListValidity(const std::string& sNameList);

// The whole file into sFileContent; false with "Open file('...') failed!" in sErrMsg.
bool ReadFile(const std::string& sFilePath, std::string& sFileContent, std::string& sErrMsg);

#endif  // FANOUT_CLIENT_OPTIONS_H
