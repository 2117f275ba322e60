// The relay's four channels: the word that names each, the TCP port it is served on,
// and the number the client's FUNC_TYPE gives it. tests/channel_table_test.cpp ties
// these to the client's own constants, so the two cannot drift apart.
#ifndef RELAY_PROTO_CHANNEL_H
#define RELAY_PROTO_CHANNEL_H

#include <cstdint>
#include <string>

namespace relay_proto {

// In port order: the channel's port is kFirstChannelPort plus its value.
enum CHANNEL { CH_MAIL = 0, CH_ZEPH = 1, CH_LUMO = 2, CH_SMS = 3 };
enum { CHANNEL_COUNT = 4 };

struct SChannelInfo {
    CHANNEL m_eChannel;
    const char* m_szName;  // the channel word, also in JSON and on the command line
    uint16_t m_wPort;      // before any port offset
    int m_nFuncType;       // the client's FUNC_TYPE value
};

// Indexed by CHANNEL.
inline constexpr SChannelInfo kChannels[CHANNEL_COUNT] = {
    {CH_MAIL, "mail", 12460, 3},
    {CH_ZEPH, "zeph", 12461, 1},
    {CH_LUMO, "lumo", 12462, 4},
    {CH_SMS, "sms", 12463, 2},
};

const uint16_t kFirstChannelPort = kChannels[CH_MAIL].m_wPort;

// "mail", "zeph", "lumo" or "sms".
const char* ChannelName(CHANNEL eChannel);

// False when sName is none of the four names.
bool ChannelFromName(const std::string& sName, CHANNEL& eChannel);

// The channel's fixed port moved by nPortOffset.
uint16_t ChannelPort(CHANNEL eChannel, int nPortOffset);

}  // namespace relay_proto

#endif  // RELAY_PROTO_CHANNEL_H
