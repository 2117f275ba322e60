#include "relayd/record/key.h"

#include <algorithm>

namespace relayd {

bool KeyAllows(const SKey& oKey, relay_proto::CHANNEL eChannel) {
    if (oKey.m_bRevoked) {
        return false;
    }
    return oKey.m_vecChannels.empty() ||
           std::find(oKey.m_vecChannels.begin(), oKey.m_vecChannels.end(), eChannel) !=
               oKey.m_vecChannels.end();
}

}  // namespace relayd
