// The keys intake looks up: those of the configuration file first, then those
// registered over HTTP, which live in the store. A key of the file shadows a stored key
// of the same id: intake finds the file's, and the key API neither registers nor revokes
// a key under a file key's id. A reload replaces the file's keys at once for every
// thread: each lookup sees the old list or the new one, never a mix.
#ifndef RELAYD_STORE_KEYRING_H
#define RELAYD_STORE_KEYRING_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "relayd/record/key.h"
#include "relayd/store/key_lookup.h"
#include "relayd/store/store.h"

namespace relayd {

class CKeyRing : public IKeyLookup {
public:
    // vecConfigKeys: the [[keys]] of the configuration (ids unique). pStore may be null
    // (no keys but the file's); it must outlive the key ring.
    CKeyRing(const std::vector<SKey>& vecConfigKeys, IStore* pStore);

    // The key sId into oKey, with bFound false when there is none. A key of the file
    // shadows a stored key of the same id. False with the reason in sErrMsg when the
    // store could not be asked.
    bool Find(const std::string& sId, SKey& oKey, bool& bFound,
              std::string& sErrMsg) const override;

    // True when the file holds a key sId (which then shadows any stored key sId).
    bool FromFile(const std::string& sId) const;

    // The file's keys, in the file's order.
    std::vector<SKey> ConfigKeys() const;
    // The file's keys after a reload (ids unique).
    void Replace(const std::vector<SKey>& vecConfigKeys);

private:
    struct SFileKeys {
        std::vector<SKey> m_vecOrdered;
        std::map<std::string, SKey> m_mapById;
    };
    std::shared_ptr<const SFileKeys> FileKeys() const;

    mutable std::mutex m_oMutex;
    std::shared_ptr<const SFileKeys> m_pFileKeys;
    IStore* m_pStore;
};

}  // namespace relayd

#endif  // RELAYD_STORE_KEYRING_H
