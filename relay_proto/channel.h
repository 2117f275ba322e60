// The relay's four channels: their names and the TCP port each one is served on.
#ifndef RELAY_PROTO_CHANNEL_H
#define RELAY_PROTO_CHANNEL_H

#include <cstdint>
#include <string>

namespace relay_proto {

// In port order: the channel's port is kFirstChannelPort plus its value.
enum CHANNEL { CH_MAIL = 0, CH_ZEPH = 1, CH_LUMO = 2, CH_SMS = 3 };
enum { CHANNEL_COUNT = 4 };

const uint16_t kFirstChannelPort = 12460;

// "mail", "zeph", "lumo" or "sms".
const char* ChannelName(CHANNEL eChannel);

// False when sName is none of the four names.
bool ChannelFromName(const std::string& sName, CHANNEL& eChannel);

// The channel's fixed port moved by nPortOffset.
uint16_t ChannelPort(CHANNEL eChannel, int nPortOffset);

}  // namespace relay_proto

#endif  // RELAY_PROTO_CHANNEL_H
