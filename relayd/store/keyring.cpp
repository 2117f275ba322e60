#include "relayd/store/keyring.h"

namespace relayd {

CKeyRing::CKeyRing(const std::vector<SKey>& vecConfigKeys, IStore* pStore) : m_pStore(pStore) {
    for (const SKey& oKey : vecConfigKeys) {
        m_mapConfigKeys.emplace(oKey.m_sId, oKey);
    }
}

bool CKeyRing::FromFile(const std::string& sId) const {
    return m_mapConfigKeys.count(sId) != 0;
}

bool CKeyRing::Find(const std::string& sId, SKey& oKey, bool& bFound, std::string& sErrMsg) const {
    const auto it = m_mapConfigKeys.find(sId);
    if (it != m_mapConfigKeys.end()) {  // the file's key shadows a stored one
        oKey = it->second;
        bFound = true;
        return true;
    }
    bFound = false;
    return m_pStore == nullptr || m_pStore->FindKey(sId, oKey, bFound, sErrMsg);
}

}  // namespace relayd
