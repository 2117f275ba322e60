// Well-formed UTF-8 (RFC 3629): the protocol's titles and contents must be, and the relay
// programs check and cut text by it.
#ifndef RELAY_PROTO_UTF8_H
#define RELAY_PROTO_UTF8_H

#include <cstddef>
#include <string>

namespace relay_proto {

// The length of the well-formed UTF-8 sequence at p (nLeft > 0 bytes available), 0 when
// there is none: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t Utf8SequenceLength(const unsigned char* p, size_t nLeft);

// True when sText is well-formed UTF-8 throughout (the empty text is).
bool IsValidUtf8(const std::string& sText);

}  // namespace relay_proto

#endif  // RELAY_PROTO_UTF8_H
