// Option scanning and validation of one run, and the whole-file reader.
#ifndef FANOUT_CLIENT_OPTIONS_H
#define FANOUT_CLIENT_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>

// The most attachment bytes one mail may carry, all attachments together.
const uint64_t kMaxTotalAttachSize = 4194303;  // 4 MiB minus one byte

// The most bytes of one file that a request frame can still carry: the frame's 32-bit
// length less its 6 framing bytes, the 43-byte package header and the field's length.
const size_t kMaxFileBytes = size_t(UINT32_MAX) - 6 - 43 - 4;

// Fills the server list and the settings from argv (argv[1] is the channel word) and
// checks them for the channel in g_eFunc. Returns true when all is valid; on invalid
// input or a help option it prints and ends the process itself.
bool Initialize(int argc, char** argv);

// True when every byte is a-z, A-Z, 0-9, ';', '_' or '-' (an empty list is valid).
bool CheckNameListValidity(const std::string& sNameList);

// The whole file into sFileContent; false with OpenFailedMessage(sFilePath) in sErrMsg,
// also when it holds more than nMaxBytes (at most kMaxFileBytes) or more than memory holds.
bool ReadFile(const std::string& sFilePath, std::string& sFileContent, std::string& sErrMsg,
              size_t nMaxBytes = kMaxFileBytes);
// The same read of a file already open (iFd, from its current offset to its end); false
// when it is a folder or cannot be read whole within nMaxBytes.
bool ReadOpenFile(int iFd, std::string& sFileContent, size_t nMaxBytes);
// "Open file('PATH') failed!", cut to 63 bytes: what a file that cannot be sent reports.
std::string OpenFailedMessage(const std::string& sFilePath);

#endif  // FANOUT_CLIENT_OPTIONS_H
