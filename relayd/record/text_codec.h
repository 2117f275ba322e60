// Byte-level encodings of the relay's text: base64, and the percent-encoding of a file
// name in a header parameter (RFC 8187 / RFC 2231). Hex digits are relay_proto/hex.h.
//
//   Base64("ab") -> "YWI="      PercentEncode("a b.txt") -> "a%20b.txt"
#ifndef RELAYD_RECORD_TEXT_CODEC_H
#define RELAYD_RECORD_TEXT_CODEC_H

#include <cstddef>
#include <string>

namespace relayd {

// Standard base64 with padding, no line breaks.
std::string Base64(const std::string& sBytes);

// Every byte that is not an attr-char (A-Z a-z 0-9 !#$&+-.^_`|~) as "%XX", upper-case.
std::string PercentEncode(const std::string& sBytes);

}  // namespace relayd

#endif  // RELAYD_RECORD_TEXT_CODEC_H
