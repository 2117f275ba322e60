// Protocol bytes as a test writes them by hand: big-endian numbers, frames, fields,
// package headers. Written apart from the product's encoders on purpose, so a test that
// compares the two is a second opinion and not an echo. Header-only: tests and fuzzers
// share it.
#ifndef FANOUT_TESTS_WIRE_BYTES_H
#define FANOUT_TESTS_WIRE_BYTES_H

#include <cstdint>
#include <string>

namespace wire_bytes {

// dwValue as 4 bytes, most significant first.
inline std::string Be32(uint32_t dwValue) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[i] = static_cast<char>((dwValue >> (24 - 8 * i)) & 0xff);
    }
    return s;
}

// The number in the 4 bytes at pBytes, most significant first.
inline uint32_t ReadBe32(const char* pBytes) {
    uint32_t dwValue = 0;
    for (int i = 0; i < 4; ++i) {
        dwValue = (dwValue << 8) | static_cast<unsigned char>(pBytes[i]);
    }
    return dwValue;
}

// sPayload framed: 0x02, the whole frame's length (payload + 6), the payload, 0x03.
inline std::string Frame(const std::string& sPayload) {
    return "\x02" + Be32(static_cast<uint32_t>(sPayload.size() + 6)) + sPayload + "\x03";
}

// A string field of a body: its length, then its bytes.
inline std::string Field(const std::string& sValue) {
    return Be32(static_cast<uint32_t>(sValue.size())) + sValue;
}

// The 43-byte package header: three single bytes, two numbers, 32 zero bytes.
inline std::string Header(uint8_t cCmd, uint8_t cPkgType, uint8_t cClientVersion,
                          uint32_t dwTimestamp, uint32_t dwResult) {
    std::string s;
    s += static_cast<char>(cCmd);
    s += static_cast<char>(cPkgType);
    s += static_cast<char>(cClientVersion);
    return s + Be32(dwTimestamp) + Be32(dwResult) + std::string(32, '\0');
}

// A request's header as the client writes it: command 1, type 0, version 1, result 0.
inline std::string RequestHeader(uint32_t dwTimestamp) {
    return Header(1, 0, 1, dwTimestamp, 0);
}

// A reply package as a relay writes it: command 1, version 1, the header alone.
inline std::string ReplyPkg(uint8_t cPkgType, uint32_t dwResult, uint32_t dwTimestamp = 0) {
    return Header(1, cPkgType, 1, dwTimestamp, dwResult);
}

}  // namespace wire_bytes

#endif  // FANOUT_TESTS_WIRE_BYTES_H
