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

std::string PercentDecode(const std::string& sText, bool bPlusIsSpace) {
    std::string sOut;
    sOut.reserve(sText.size());
    for (size_t i = 0; i < sText.size(); ++i) {
        const char c = sText[i];
        std::string sByte;
        if (c == '%' && i + 2 < sText.size() &&
            relay_proto::HexDecode(sText.substr(i + 1, 2), sByte)) {
            sOut += sByte;
            i += 2;
        } else {
            sOut += bPlusIsSpace && c == '+' ? ' ' : c;
        }
    }
    return sOut;
}

}  // namespace relayd
