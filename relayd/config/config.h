// The relay's settings: built-in defaults, then the TOML file, then the command line.
#ifndef RELAYD_CONFIG_CONFIG_H
#define RELAYD_CONFIG_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/record/key.h"

namespace relayd {

// A client network: an IPv4 or IPv6 address and a prefix length.
struct SNetwork {
    bool m_bIpv6 = false;
    uint8_t m_aAddr[16] = {};  // network byte order; IPv4 in the first 4 bytes
    uint8_t m_cPrefixLen = 0;
};

struct SWebhook {
    std::string m_sUrl;         // empty: capture only
    std::string m_sSecret;      // empty: no signature header
    std::string m_sSecretFile;  // the secret's file (its first line), read at start
};

struct SConfig {
    std::vector<std::string> m_vecListen = {"127.0.0.1"};
    int32_t m_iPortOffset = 0;
    std::string m_sHttp = "127.0.0.1:12464";  // "off": no HTTP side
    std::string m_sHttpToken;
    uint32_t m_dwHttpMaxConnections = 256;  // HTTP connections held at once
    std::string m_sStore = "fanout-relay.db";
    std::vector<SNetwork> m_vecAllow;  // default 127.0.0.0/8 and ::1/128
    std::vector<std::string> m_vecAllowText = {"127.0.0.0/8", "::1/128"};
    bool m_bRequireKey = false;
    int64_t m_llDedupeWindowMs = 24LL * 3600 * 1000;
    uint32_t m_dwMaxConnections = 4096;
    int64_t m_llReadTimeoutMs = 10 * 1000;
    uint32_t m_dwMaxPackage = 16777216;
    // What one peer, or all of them, may hold of the intake side.
    uint32_t m_dwMaxConnectionsPerPeer = 256;
    uint64_t m_ddwMaxPendingBytes = 268435456;
    // Long-running service: how long final messages stay, and secrets kept in files.
    int64_t m_llRetentionMs = 30LL * 24 * 3600 * 1000;  // 0: keep every message
    std::string m_sHttpTokenFile;

    struct {
        std::string m_sSmtp;  // empty: capture only
        std::string m_sFrom = "fanout-relay@localhost";
        std::string m_sDomain = "localhost";
        std::string m_sPassword;  // from m_sPasswordFile; the URL then names only the user
        std::string m_sPasswordFile;
    } m_oMail;
    // Indexed by relay_proto::CHANNEL; the mail entry is unused.
    SWebhook m_aWebhooks[relay_proto::CHANNEL_COUNT];

    struct {
        bool m_bSync = false;
        int64_t m_llSyncTimeoutMs = 2500;
        int64_t m_llAttemptTimeoutMs = 30 * 1000;
        int64_t m_llRetryInitialMs = 1000;
        int64_t m_llRetryMaxMs = 3600 * 1000;
        int64_t m_llMaxAgeMs = 24LL * 3600 * 1000;
    } m_oDelivery;

    std::vector<SKey> m_vecKeys;  // [[keys]], source KS_CONFIG
};

// True when eChannel has somewhere to deliver to (an SMTP URL or a webhook).
bool HasDestination(const SConfig& oConfig, relay_proto::CHANNEL eChannel);

}  // namespace relayd

#endif  // RELAYD_CONFIG_CONFIG_H
