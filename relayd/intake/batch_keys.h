// The keys of one intake batch: each key id is looked up once per batch, however many of
// the batch's requests carry it, so a batch reads the store once per key rather than once
// per request, and all its requests see the same state of a key. A failed lookup is not
// remembered: the next request asks again.
#ifndef RELAYD_INTAKE_BATCH_KEYS_H
#define RELAYD_INTAKE_BATCH_KEYS_H

#include <map>
#include <string>

#include "relayd/store/key_lookup.h"

namespace relayd {

class CBatchKeys : public IKeyLookup {
public:
    explicit CBatchKeys(const IKeyLookup& oKeys) : m_oKeys(oKeys) {}

    bool Find(const std::string& sId, SKey& oKey, bool& bFound,
              std::string& sErrMsg) const override;

private:
    struct SFound {
        bool m_bFound = false;
        SKey m_oKey;
    };

    const IKeyLookup& m_oKeys;
    mutable std::map<std::string, SFound> m_mapSeen;
};

}  // namespace relayd

#endif  // RELAYD_INTAKE_BATCH_KEYS_H
