// Bytes as hex digits and back: digests and random ids in the relay's records, the
// token cookie of the web pages, the simulator's raw replies and its JSON of text that
// is not UTF-8.
//
//   HexEncode("xy") -> "7879"       HexEncode("\xe6", HEX_UPPER) -> "E6"
//   HexDecode("E6a5") -> "\xe6\xa5"  HexDecode("7g"), HexDecode("787") -> false
#ifndef RELAY_PROTO_HEX_H
#define RELAY_PROTO_HEX_H

#include <string>

namespace relay_proto {

enum HEX_CASE { HEX_LOWER, HEX_UPPER };

// Two digits per byte.
std::string HexEncode(const std::string& sBytes, HEX_CASE eCase = HEX_LOWER);

// Appends the two digits of one byte.
void AppendHexByte(std::string& sOut, unsigned char cByte, HEX_CASE eCase = HEX_LOWER);

// Hex digits (either case) to bytes; false for an odd length or any other character.
bool HexDecode(const std::string& sHex, std::string& sBytes);

}  // namespace relay_proto

#endif  // RELAY_PROTO_HEX_H
