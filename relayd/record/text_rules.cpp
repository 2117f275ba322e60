#include "relayd/record/text_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace relayd {

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool IsName(const std::string& sName) {
    return !sName.empty() && std::all_of(sName.begin(), sName.end(), IsNameByte);
}

bool IsNameListValid(const std::string& sList) {
    return std::all_of(sList.begin(), sList.end(),
                       [](char c) { return c == ';' || IsNameByte(c); });
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

std::string TrimBlanks(const std::string& sText) {
    const size_t nFirst = sText.find_first_not_of(" \t");
    if (nFirst == std::string::npos) {
        return std::string();
    }
    return sText.substr(nFirst, sText.find_last_not_of(" \t") - nFirst + 1);
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
