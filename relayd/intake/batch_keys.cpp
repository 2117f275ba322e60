#include "relayd/intake/batch_keys.h"

namespace relayd {

bool CBatchKeys::Find(const std::string& sId, SKey& oKey, bool& bFound,
                      std::string& sErrMsg) const {
    auto it = m_mapSeen.find(sId);
    if (it == m_mapSeen.end()) {
        SFound oFound;
        if (!m_oKeys.Find(sId, oFound.m_oKey, oFound.m_bFound, sErrMsg)) {
            return false;
        }
        it = m_mapSeen.emplace(sId, std::move(oFound)).first;
    }
    bFound = it->second.m_bFound;
    if (bFound) {
        oKey = it->second.m_oKey;
    }
    return true;
}

}  // namespace relayd
