#include "relay_proto/utf8.h"

namespace relay_proto {

// The second byte's range depends on the first (RFC 3629, section 4).
size_t Utf8SequenceLength(const unsigned char* p, size_t nLeft) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        return 1;
    }
    size_t nLen = 0;
    unsigned char cLow = 0x80;
    unsigned char cHigh = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        nLen = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLen = 3;
        cLow = (c == 0xE0) ? 0xA0 : 0x80;   // E0 80..9F would be overlong
        cHigh = (c == 0xED) ? 0x9F : 0xBF;  // ED A0..BF would be a surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLen = 4;
        cLow = (c == 0xF0) ? 0x90 : 0x80;   // F0 80..8F would be overlong
        cHigh = (c == 0xF4) ? 0x8F : 0xBF;  // F4 90.. would be above U+10FFFF
    } else {
        return 0;
    }
    if (nLeft < nLen || p[1] < cLow || p[1] > cHigh) {
        return 0;
    }
    for (size_t i = 2; i < nLen; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return nLen;
}

bool IsValidUtf8(const std::string& sText) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sText.data());
    size_t nLeft = sText.size();
    while (nLeft > 0) {
        const size_t nLen = Utf8SequenceLength(p, nLeft);
        if (nLen == 0) {
            return false;
        }
        p += nLen;
        nLeft -= nLen;
    }
    return true;
}

}  // namespace relay_proto
