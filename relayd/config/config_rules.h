// What each setting may hold, and the checks across settings. The file reader calls the
// single-value checks as it reads (so their errors carry the file position); FinishConfig
// runs them all again on the final settings, since the command line may have replaced
// values, and adds the checks that involve several settings.
#ifndef RELAYD_CONFIG_CONFIG_RULES_H
#define RELAYD_CONFIG_CONFIG_RULES_H

#include <cstdint>
#include <string>

#include "relay_proto/channel.h"
#include "relay_proto/frame.h"
#include "relay_proto/package.h"
#include "relayd/config/config.h"

namespace relayd {

// Ranges of the numeric settings.
// The mail port stays at or above 1, the sms port at or below 65535.
const int64_t kMinPortOffset = 1 - relay_proto::kChannels[relay_proto::CH_MAIL].m_wPort;
const int64_t kMaxPortOffset = 65535 - relay_proto::kChannels[relay_proto::CH_SMS].m_wPort;
const int64_t kMaxMaxConnections = 1000000;
// http_max_connections: at least 2 (one stalled client must leave room for another).
const int64_t kMinHttpMaxConnections = 2;
const int64_t kMaxHttpMaxConnections = 100000;
const int64_t kMinMaxPackage = sizeof(MSG_PKG_HEAD);  // a bare header
// What the largest frame holds.
const int64_t kMaxMaxPackage = 4294967295LL - relay_proto::FRAME_OVERHEAD;
const int64_t kMaxMaxPendingBytes = 1LL << 50;

// Each returns true when the value may stand in its setting; otherwise false with the
// reason in sWhy (without the setting's name).
bool CheckListenAddress(const std::string& sAddr, std::string& sWhy);  // an IP literal
bool CheckPortOffset(int64_t llOffset, std::string& sWhy);
bool CheckHttp(const std::string& sHttp, std::string& sWhy);           // "off" or ADDR:PORT
bool CheckHttpToken(const std::string& sToken, std::string& sWhy);     // visible ASCII
bool CheckStore(const std::string& sStore, std::string& sWhy);         // not empty
bool CheckAllowEntry(const std::string& sNetwork, std::string& sWhy);  // CIDR
bool CheckSmtpUrl(const std::string& sUrl, std::string& sWhy);         // "", smtp:// or smtps://
bool CheckWebhookUrl(const std::string& sUrl, std::string& sWhy);      // "", http:// or https://
bool CheckMailFrom(const std::string& sFrom, std::string& sWhy);       // an address
bool CheckMailDomain(const std::string& sDomain, std::string& sWhy);   // a host name
bool CheckKeyId(const std::string& sId, std::string& sWhy);  // not empty, no control bytes
// One receiver or cc name of a key: not empty, a-z A-Z 0-9 _ - only.
bool CheckName(const std::string& sName, std::string& sWhy);

// Checks the settings as a whole, once the file and the command line are applied, and
// parses m_vecAllowText into m_vecAllow. False with "setting: why" in sErrMsg.
bool FinishConfig(SConfig& oConfig, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_CONFIG_CONFIG_RULES_H
