#include "relayd/config/config_describe.h"

#include "relayd/record/duration.h"
#include "relayd/record/redact.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

std::string Secret(const std::string& sValue) {
    return sValue.empty() ? "(none)" : "(set)";
}

std::string Joined(const std::vector<std::string>& vecItems, const char* szEmpty) {
    if (vecItems.empty()) {
        return szEmpty;
    }
    std::string sOut;
    for (const std::string& sItem : vecItems) {
        sOut += (sOut.empty() ? "" : ", ") + sItem;
    }
    return sOut;
}

// sText on one line: control bytes as \xHH, the rest (UTF-8 included) as it is.
std::string OneLine(const std::string& sText) {
    std::string sOut;
    for (const char c : sText) {
        const unsigned char b = static_cast<unsigned char>(c);
        sOut += (b < 0x20 || b == 0x7F) ? QuoteForLog(std::string(1, c)) : std::string(1, c);
    }
    return sOut;
}

std::string Bool(bool bValue) {
    return bValue ? "true" : "false";
}

std::string ChannelLine(const SConfig& oConfig, relay_proto::CHANNEL eChannel) {
    std::string sLine = std::string(relay_proto::ChannelName(eChannel)) + ": ";
    if (eChannel == relay_proto::CH_MAIL) {
        const auto& oMail = oConfig.m_oMail;
        if (oMail.m_sSmtp.empty()) {
            return sLine + "capture only";
        }
        return sLine + "deliver over " + Redacted(oMail.m_sSmtp) +
               (oMail.m_sPassword.empty() ? "" : " with password (set)") + " from " +
               oMail.m_sFrom + " to NAME@" + oMail.m_sDomain;
    }
    const SWebhook& oHook = oConfig.m_aWebhooks[eChannel];
    if (oHook.m_sUrl.empty()) {
        return sLine + "capture only";
    }
    return sLine + "POST to " + Redacted(oHook.m_sUrl) +
           (oHook.m_sSecret.empty() ? ", unsigned" : ", signed with secret (set)");
}

std::string KeyLine(const SKey& oKey) {
    std::vector<std::string> vecChannels;
    for (const relay_proto::CHANNEL eChannel : oKey.m_vecChannels) {
        vecChannels.push_back(relay_proto::ChannelName(eChannel));
    }
    return "key " + OneLine(oKey.m_sId) + ": receivers " + Joined(oKey.m_vecReceivers, "(none)") +
           "; cc " + Joined(oKey.m_vecCc, "(none)") + "; subject " +
           (oKey.m_sSubject.empty() ? "(none)" : "\"" + OneLine(oKey.m_sSubject) + "\"") +
           "; channels " + Joined(vecChannels, "all");
}

}  // namespace

std::string DescribeConfig(const SConfig& oConfig) {
    std::string sPorts;
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        sPorts += (i == 0 ? "" : ", ") +
                  std::to_string(relay_proto::ChannelPort(eChannel, oConfig.m_iPortOffset)) + " " +
                  relay_proto::ChannelName(eChannel);
    }
    const auto& oDelivery = oConfig.m_oDelivery;
    std::string sOut;
    sOut += "listen = " + Joined(oConfig.m_vecListen, "(none)") + "\n";
    sOut += "port_offset = " + std::to_string(oConfig.m_iPortOffset) + " (ports " + sPorts + ")\n";
    sOut += "http = " + oConfig.m_sHttp + "\n";
    sOut += "http_token = " + Secret(oConfig.m_sHttpToken) + "\n";
    sOut += "store = " + Redacted(oConfig.m_sStore) + "\n";
    sOut += "allow = " + Joined(oConfig.m_vecAllowText, "(none)") + "\n";
    sOut += "require_key = " + Bool(oConfig.m_bRequireKey) + "\n";
    sOut += "dedupe_window = " + FormatDuration(oConfig.m_llDedupeWindowMs) + "\n";
    sOut += "max_connections = " + std::to_string(oConfig.m_dwMaxConnections) + "\n";
    sOut += "http_max_connections = " + std::to_string(oConfig.m_dwHttpMaxConnections) + "\n";
    sOut += "read_timeout = " + FormatDuration(oConfig.m_llReadTimeoutMs) + "\n";
    sOut += "max_package = " + std::to_string(oConfig.m_dwMaxPackage) + "\n";
    sOut +=
        "max_connections_per_peer = " + std::to_string(oConfig.m_dwMaxConnectionsPerPeer) + "\n";
    sOut += "max_pending_bytes = " + std::to_string(oConfig.m_ddwMaxPendingBytes) + "\n";
    sOut += "retention = " +
            (oConfig.m_llRetentionMs == 0 ? std::string("0s (keep every message)")
                                          : FormatDuration(oConfig.m_llRetentionMs)) +
            "\n";
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        sOut += ChannelLine(oConfig, static_cast<relay_proto::CHANNEL>(i)) + "\n";
    }
    sOut += "delivery.sync = " + Bool(oDelivery.m_bSync) + "\n";
    sOut += "delivery.sync_timeout = " + FormatDuration(oDelivery.m_llSyncTimeoutMs) + "\n";
    sOut += "delivery.attempt_timeout = " + FormatDuration(oDelivery.m_llAttemptTimeoutMs) + "\n";
    sOut += "delivery.retry_initial = " + FormatDuration(oDelivery.m_llRetryInitialMs) + "\n";
    sOut += "delivery.retry_max = " + FormatDuration(oDelivery.m_llRetryMaxMs) + "\n";
    sOut += "delivery.max_age = " + FormatDuration(oDelivery.m_llMaxAgeMs) + "\n";
    for (const SKey& oKey : oConfig.m_vecKeys) {
        sOut += KeyLine(oKey) + "\n";
    }
    return sOut;
}

}  // namespace relayd
