#include "relay_proto/channel.h"

namespace relay_proto {

namespace {

const char* const kChannelNames[CHANNEL_COUNT] = {"mail", "zeph", "lumo", "sms"};

}  // namespace

const char* ChannelName(CHANNEL eChannel) {
    return kChannelNames[eChannel];
}

bool ChannelFromName(const std::string& sName, CHANNEL& eChannel) {
    for (int i = 0; i < CHANNEL_COUNT; ++i) {
        if (sName == kChannelNames[i]) {
            eChannel = static_cast<CHANNEL>(i);
            return true;
        }
    }
    return false;
}

uint16_t ChannelPort(CHANNEL eChannel, int nPortOffset) {
    return static_cast<uint16_t>(kFirstChannelPort + nPortOffset + eChannel);
}

}  // namespace relay_proto
