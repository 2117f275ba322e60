// Byte-level encodings of the relay's text: base64, and the percent-encoding of a file
// name in a header parameter (RFC 8187 / RFC 2231). Hex digits are relay_proto/hex.h.
//
//   Base64("ab") -> "YWI="      PercentEncode("a b.txt") -> "a%20b.txt"
//   PercentDecode("a%20b+c", true) -> "a b c"   PercentDecode("%zz", false) -> "%zz"
#ifndef RELAYD_RECORD_TEXT_CODEC_H
#define RELAYD_RECORD_TEXT_CODEC_H

#include <cstddef>
#include <string>

namespace relayd {

// Standard base64 with padding, no line breaks.
std::string Base64(const std::string& sBytes);

// Every byte that is not an attr-char (A-Z a-z 0-9 !#$&+-.^_`|~) as "%XX", upper-case.
std::string PercentEncode(const std::string& sBytes);

// "%XX" (either case) back to its byte; with bPlusIsSpace, '+' to a blank (a query
// string's form). A '%' not followed by two hex digits stays as it is.
std::string PercentDecode(const std::string& sText, bool bPlusIsSpace);

}  // namespace relayd

#endif  // RELAYD_RECORD_TEXT_CODEC_H
