// The keys intake looks up: those of the configuration file first, then those
// registered over HTTP, which live in the store. A key of the file shadows a stored key
// of the same id: intake finds the file's, and the key API neither registers nor revokes
// a key under a file key's id.
#ifndef RELAYD_STORE_KEYRING_H
#define RELAYD_STORE_KEYRING_H

#include <map>
#include <string>
#include <vector>

#include "relayd/record/key.h"
#include "relayd/store/store.h"

namespace relayd {

class CKeyRing {
public:
    // vecConfigKeys: the [[keys]] of the configuration (ids unique). pStore may be null
    // (no keys but the file's); it must outlive the key ring.
    CKeyRing(const std::vector<SKey>& vecConfigKeys, IStore* pStore);

    // The key sId into oKey, with bFound false when there is none. A key of the file
    // shadows a stored key of the same id. False with the reason in sErrMsg when the
    // store could not be asked.
    bool Find(const std::string& sId, SKey& oKey, bool& bFound, std::string& sErrMsg) const;

    // True when the file holds a key sId (which then shadows any stored key sId).
    bool FromFile(const std::string& sId) const;

private:
    std::map<std::string, SKey> m_mapConfigKeys;
    IStore* m_pStore;
};

}  // namespace relayd

#endif  // RELAYD_STORE_KEYRING_H
