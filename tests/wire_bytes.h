// Protocol bytes as a test writes them by hand: big-endian numbers, frames, fields.
// Written apart from the product's encoders on purpose, so a test that compares the
// two is a second opinion and not an echo. Header-only: tests and fuzzers share it.
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

// The number in 4 bytes at pBytes, most significant first.
inline uint32_t ReadBe32(const char* pBytes) {
    uint32_t dwValue = 0;
    for (int i = 0; i < 4; ++i) {
        dwValue = (dwValue << 8) | static_cast<unsigned char>(pBytes[i]);
    }
    return dwValue;
}

// sPayload framed: STX, the whole frame's length, the payload, ETX.
inline std::string Frame(const std::string& sPayload) {
    return "\x02" + Be32(static_cast<uint32_t>(sPayload.size() + 6)) + sPayload + "\x03";
}

}  // namespace wire_bytes

#endif  // FANOUT_TESTS_WIRE_BYTES_H
