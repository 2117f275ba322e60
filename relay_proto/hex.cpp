#include "relay_proto/hex.h"

#include <charconv>

namespace relay_proto {

void AppendHexByte(std::string& sOut, unsigned char cByte, HEX_CASE eCase) {
    const char* szDigits = eCase == HEX_UPPER ? "0123456789ABCDEF" : "0123456789abcdef";
    sOut += szDigits[cByte >> 4];
    sOut += szDigits[cByte & 0x0F];
}

std::string HexEncode(const std::string& sBytes, HEX_CASE eCase) {
    std::string sHex;
    sHex.reserve(sBytes.size() * 2);
    for (const char c : sBytes) {
        AppendHexByte(sHex, static_cast<unsigned char>(c), eCase);
    }
    return sHex;
}

bool HexDecode(const std::string& sHex, std::string& sBytes) {
    if (sHex.size() % 2 != 0) {
        return false;
    }
    std::string sDecoded;
    sDecoded.reserve(sHex.size() / 2);
    for (size_t i = 0; i < sHex.size(); i += 2) {
        const char* pStart = sHex.data() + i;
        unsigned char cByte = 0;
        if (std::from_chars(pStart, pStart + 2, cByte, 16).ptr != pStart + 2) {
            return false;
        }
        sDecoded += static_cast<char>(cByte);
    }
    sBytes = sDecoded;
    return true;
}

}  // namespace relay_proto
