#include "relayd/http/http_target.h"

#include "relayd/record/text_codec.h"

namespace relayd {

bool ParseTarget(const std::string& sTarget, std::string& sPath,
                 std::multimap<std::string, std::string>& mapParams, std::string& sErrMsg) {
    if (sTarget.empty() || sTarget[0] != '/') {
        sErrMsg = "the request target must be a path";
        return false;
    }
    const size_t nQuery = sTarget.find('?');
    sPath = PercentDecode(sTarget.substr(0, nQuery), false);
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
            mapParams.emplace(
                PercentDecode(sPair.substr(0, nEq), true),
                nEq == std::string::npos ? "" : PercentDecode(sPair.substr(nEq + 1), true));
        }
        nStart = nEnd + 1;
    }
    return true;
}

}  // namespace relayd
