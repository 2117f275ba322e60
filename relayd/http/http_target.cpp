#include "relayd/http/http_target.h"

namespace relayd {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Decode(const std::string& sText, bool bPlusIsSpace) {
    std::string sOut;
    sOut.reserve(sText.size());
    for (size_t i = 0; i < sText.size(); ++i) {
        const char c = sText[i];
        if (c == '%' && i + 2 < sText.size() && HexDigit(sText[i + 1]) >= 0 &&
            HexDigit(sText[i + 2]) >= 0) {
            sOut += static_cast<char>(HexDigit(sText[i + 1]) * 16 + HexDigit(sText[i + 2]));
            i += 2;
        } else {
            sOut += bPlusIsSpace && c == '+' ? ' ' : c;
        }
    }
    return sOut;
}

}  // namespace

bool ParseTarget(const std::string& sTarget, std::string& sPath,
                 std::multimap<std::string, std::string>& mapParams, std::string& sErrMsg) {
    if (sTarget.empty() || sTarget[0] != '/') {
        sErrMsg = "the request target must be a path";
        return false;
    }
    const size_t nQuery = sTarget.find('?');
    sPath = Decode(sTarget.substr(0, nQuery), false);
    mapParams.clear();
    if (nQuery == std::string::npos) {
        return true;
    }
    size_t nStart = nQuery + 1;
    while (nStart <= sTarget.size()) {
        size_t nEnd = sTarget.find('&', nStart);
        if (nEnd == std::string::npos) {
            nEnd = sTarget.size();
        }
        const std::string sPair = sTarget.substr(nStart, nEnd - nStart);
        if (!sPair.empty()) {
            const size_t nEq = sPair.find('=');
            mapParams.emplace(Decode(sPair.substr(0, nEq), true),
                              nEq == std::string::npos ? "" : Decode(sPair.substr(nEq + 1), true));
        }
        nStart = nEnd + 1;
    }
    return true;
}

}  // namespace relayd
