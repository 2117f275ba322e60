// A system key: an id a client sends with -k, and the defaults and channels it carries.
#ifndef RELAYD_RECORD_KEY_H
#define RELAYD_RECORD_KEY_H

#include <cstdint>
#include <string>
#include <vector>

#include "relay_proto/channel.h"

namespace relayd {

enum KEY_SOURCE { KS_CONFIG, KS_API };

struct SKey {
    std::string m_sId;
    std::vector<std::string> m_vecReceivers;          // filled into a request without receivers
    std::vector<std::string> m_vecCc;                 // filled into a mail without cc
    std::string m_sSubject;                           // filled into a request without a title
    std::vector<relay_proto::CHANNEL> m_vecChannels;  // empty: every channel
    int64_t m_llCreatedAtMs = 0;
    bool m_bRevoked = false;
    KEY_SOURCE m_eSource = KS_API;
};

// True when the key may be used on eChannel (not revoked, channel allowed).
bool KeyAllows(const SKey& oKey, relay_proto::CHANNEL eChannel);

}  // namespace relayd

#endif  // RELAYD_RECORD_KEY_H
