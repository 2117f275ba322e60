#include "relayd/record/text_codec.h"

#include <openssl/evp.h>

namespace relayd {

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
