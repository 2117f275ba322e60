#include "relayd/record/text_codec.h"

#include <openssl/evp.h>

#include <cstring>

#include "relay_proto/hex.h"

namespace relayd {

std::string Base64(const std::string& sBytes) {
    std::string sOut(4 * ((sBytes.size() + 2) / 3) + 1, '\0');
    const int nLen = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&sOut[0]),
                                     reinterpret_cast<const unsigned char*>(sBytes.data()),
                                     static_cast<int>(sBytes.size()));
    sOut.resize(static_cast<size_t>(nLen));
    return sOut;
}

std::string PercentEncode(const std::string& sBytes) {
    std::string sOut;
    for (const char c : sBytes) {
        const bool bAttrChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') ||
                               (c != '\0' && strchr("!#$&+-.^_`|~", c) != nullptr);
        if (bAttrChar) {
            sOut += c;
        } else {
            sOut += '%';
            relay_proto::AppendHexByte(sOut, static_cast<unsigned char>(c), relay_proto::HEX_UPPER);
        }
    }
    return sOut;
}

}  // namespace relayd
