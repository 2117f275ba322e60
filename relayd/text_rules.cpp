#include "relayd/text_rules.h"

#include <cstdint>
#include <cstdio>

namespace relayd {

namespace {

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ';' ||
           c == '_' || c == '-';
}

// The length of the well-formed UTF-8 sequence at p (nLeft bytes available), 0 when there
// is none. The second byte's range depends on the first (RFC 3629, section 4).
size_t Utf8SequenceLength(const uint8_t* p, size_t nLeft) {
    const uint8_t c = p[0];
    if (c < 0x80) {
        return 1;
    }
    size_t nLen = 0;
    uint8_t cLow = 0x80;
    uint8_t cHigh = 0xBF;
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

}  // namespace

bool IsNameListValid(const std::string& sList) {
    for (const char c : sList) {
        if (!IsNameByte(c)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitNameList(const std::string& sList) {
    std::vector<std::string> vecNames;
    size_t nStart = 0;
    while (nStart <= sList.size()) {
        size_t nEnd = sList.find(';', nStart);
        if (nEnd == std::string::npos) {
            nEnd = sList.size();
        }
        if (nEnd > nStart) {
            vecNames.push_back(sList.substr(nStart, nEnd - nStart));
        }
        nStart = nEnd + 1;
    }
    return vecNames;
}

std::string JoinNameList(const std::vector<std::string>& vecNames) {
    std::string sList;
    for (const std::string& sName : vecNames) {
        if (!sList.empty()) {
            sList += ';';
        }
        sList += sName;
    }
    return sList;
}

bool IsValidUtf8(const std::string& sText) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(sText.data());
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

std::string QuoteForLog(const std::string& sBytes, size_t nMax) {
    std::string sOut;
    for (size_t i = 0; i < sBytes.size() && i < nMax; ++i) {
        const uint8_t c = static_cast<uint8_t>(sBytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            sOut += static_cast<char>(c);
        } else {
            char szHex[5];
            snprintf(szHex, sizeof(szHex), "\\x%02X", c);
            sOut += szHex;
        }
    }
    if (sBytes.size() > nMax) {
        sOut += "...";
    }
    return sOut;
}

}  // namespace relayd
