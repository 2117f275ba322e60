#include "relayd/text_codec.h"

#include <openssl/evp.h>

namespace relayd {

size_t Utf8Length(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        return 1;
    }
    size_t nLen = 0;
    unsigned char cMin = 0x80;  // second-byte bounds exclude overlong forms, surrogates
    unsigned char cMax = 0xBF;  // and values past U+10FFFF
    if (c >= 0xC2 && c <= 0xDF) {
        nLen = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLen = 3;
        cMin = (c == 0xE0) ? 0xA0 : 0x80;
        cMax = (c == 0xED) ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLen = 4;
        cMin = (c == 0xF0) ? 0x90 : 0x80;
        cMax = (c == 0xF4) ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (n < nLen || p[1] < cMin || p[1] > cMax) {
        return 0;
    }
    for (size_t i = 2; i < nLen; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return nLen;
}

std::string Base64(const std::string& sBytes) {
    std::string sOut(4 * ((sBytes.size() + 2) / 3) + 1, '\0');
    const int nLen = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&sOut[0]),
                                     reinterpret_cast<const unsigned char*>(sBytes.data()),
                                     static_cast<int>(sBytes.size()));
    sOut.resize(static_cast<size_t>(nLen));
    return sOut;
}

std::string Hex(const std::string& sBytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string sHex;
    sHex.reserve(sBytes.size() * 2);
    for (const char c : sBytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        sHex += kDigits[b >> 4];
        sHex += kDigits[b & 0x0F];
    }
    return sHex;
}

}  // namespace relayd
