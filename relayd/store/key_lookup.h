// Finding a key by its id: what intake's checks need of the key ring.
#ifndef RELAYD_STORE_KEY_LOOKUP_H
#define RELAYD_STORE_KEY_LOOKUP_H

#include <string>

#include "relayd/record/key.h"

namespace relayd {

class IKeyLookup {
public:
    virtual ~IKeyLookup() = default;
    // The key sId into oKey, with bFound false when there is none. False with the reason
    // in sErrMsg when the keys could not be read (the store failed).
    virtual bool Find(const std::string& sId, SKey& oKey, bool& bFound,
                      std::string& sErrMsg) const = 0;
};

}  // namespace relayd

#endif  // RELAYD_STORE_KEY_LOOKUP_H
