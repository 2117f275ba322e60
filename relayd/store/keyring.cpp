#include "relayd/store/keyring.h"

namespace relayd {

CKeyRing::CKeyRing(const std::vector<SKey>& vecConfigKeys, IStore* pStore) : m_pStore(pStore) {
    Replace(vecConfigKeys);
}

void CKeyRing::Replace(const std::vector<SKey>& vecConfigKeys) {
    std::shared_ptr<SFileKeys> pKeys = std::make_shared<SFileKeys>();
    pKeys->m_vecOrdered = vecConfigKeys;
    for (const SKey& oKey : pKeys->m_vecOrdered) {
        pKeys->m_mapById.emplace(oKey.m_sId, oKey);
    }
    std::lock_guard<std::mutex> oLock(m_oMutex);
    m_pFileKeys = std::move(pKeys);
}

std::shared_ptr<const CKeyRing::SFileKeys> CKeyRing::FileKeys() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return m_pFileKeys;
}

std::vector<SKey> CKeyRing::ConfigKeys() const {
    return FileKeys()->m_vecOrdered;
}

bool CKeyRing::FromFile(const std::string& sId) const {
    return FileKeys()->m_mapById.count(sId) != 0;
}

bool CKeyRing::Find(const std::string& sId, SKey& oKey, bool& bFound, std::string& sErrMsg) const {
    const std::shared_ptr<const SFileKeys> pKeys = FileKeys();
    const auto it = pKeys->m_mapById.find(sId);
    if (it != pKeys->m_mapById.end()) {  // the file's key shadows a stored one
        oKey = it->second;
        bFound = true;
        return true;
    }
    bFound = false;
    return m_pStore == nullptr || m_pStore->FindKey(sId, oKey, bFound, sErrMsg);
}

}  // namespace relayd
