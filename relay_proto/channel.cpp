#include "relay_proto/channel.h"

namespace relay_proto {

namespace {

// Every row sits at its channel's index, and the ports follow each other.
constexpr bool TableInOrder() {
    for (int i = 0; i < CHANNEL_COUNT; ++i) {
        if (kChannels[i].m_eChannel != i || kChannels[i].m_wPort != kFirstChannelPort + i) {
            return false;
        }
    }
    return true;
}
static_assert(TableInOrder(), "kChannels is indexed by CHANNEL, in port order");

}  // namespace

const char* ChannelName(CHANNEL eChannel) {
    return kChannels[eChannel].m_szName;
}

bool ChannelFromName(const std::string& sName, CHANNEL& eChannel) {
    for (const SChannelInfo& oInfo : kChannels) {
        if (sName == oInfo.m_szName) {
            eChannel = oInfo.m_eChannel;
            return true;
        }
    }
    return false;
}

uint16_t ChannelPort(CHANNEL eChannel, int nPortOffset) {
    return static_cast<uint16_t>(kChannels[eChannel].m_wPort + nPortOffset);
}

}  // namespace relay_proto
