#include "relayd/config/config_reload.h"

#include "relayd/config/live_secrets.h"

namespace relayd {

namespace {

std::string Joined(const std::vector<std::string>& vecNames) {
    std::string sText;
    for (const std::string& sName : vecNames) {
        sText += (sText.empty() ? "" : ", ") + sName;
    }
    return sText;
}

}  // namespace

std::vector<std::string> SettingsNeedingRestart(const SConfig& oRunning, const SConfig& oNew) {
    std::vector<std::string> vecNames;
    auto fnCompare = [&vecNames](const std::string& sName, bool bDiffers) {
        if (bDiffers) {
            vecNames.push_back(sName);
        }
    };
    const SConfig& oA = oRunning;
    const SConfig& oB = oNew;
    fnCompare("listen", oA.m_vecListen != oB.m_vecListen);
    fnCompare("port_offset", oA.m_iPortOffset != oB.m_iPortOffset);
    fnCompare("http", oA.m_sHttp != oB.m_sHttp);
    fnCompare("store", oA.m_sStore != oB.m_sStore);
    fnCompare("allow", oA.m_vecAllowText != oB.m_vecAllowText);
    fnCompare("require_key", oA.m_bRequireKey != oB.m_bRequireKey);
    fnCompare("dedupe_window", oA.m_llDedupeWindowMs != oB.m_llDedupeWindowMs);
    fnCompare("max_connections", oA.m_dwMaxConnections != oB.m_dwMaxConnections);
    fnCompare("read_timeout", oA.m_llReadTimeoutMs != oB.m_llReadTimeoutMs);
    fnCompare("max_package", oA.m_dwMaxPackage != oB.m_dwMaxPackage);
    fnCompare("max_connections_per_peer",
              oA.m_dwMaxConnectionsPerPeer != oB.m_dwMaxConnectionsPerPeer);
    fnCompare("max_pending_bytes", oA.m_ddwMaxPendingBytes != oB.m_ddwMaxPendingBytes);
    fnCompare("http_max_connections", oA.m_dwHttpMaxConnections != oB.m_dwHttpMaxConnections);
    fnCompare("retention", oA.m_llRetentionMs != oB.m_llRetentionMs);
    fnCompare("mail.smtp", oA.m_oMail.m_sSmtp != oB.m_oMail.m_sSmtp);
    fnCompare("mail.from", oA.m_oMail.m_sFrom != oB.m_oMail.m_sFrom);
    fnCompare("mail.domain", oA.m_oMail.m_sDomain != oB.m_oMail.m_sDomain);
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        if (eChannel != relay_proto::CH_MAIL) {
            fnCompare(std::string(relay_proto::ChannelName(eChannel)) + ".webhook",
                      oA.m_aWebhooks[i].m_sUrl != oB.m_aWebhooks[i].m_sUrl);
        }
    }
    const auto& oDa = oA.m_oDelivery;
    const auto& oDb = oB.m_oDelivery;
    fnCompare("delivery.sync", oDa.m_bSync != oDb.m_bSync);
    fnCompare("delivery.sync_timeout", oDa.m_llSyncTimeoutMs != oDb.m_llSyncTimeoutMs);
    fnCompare("delivery.attempt_timeout", oDa.m_llAttemptTimeoutMs != oDb.m_llAttemptTimeoutMs);
    fnCompare("delivery.retry_initial", oDa.m_llRetryInitialMs != oDb.m_llRetryInitialMs);
    fnCompare("delivery.retry_max", oDa.m_llRetryMaxMs != oDb.m_llRetryMaxMs);
    fnCompare("delivery.max_age", oDa.m_llMaxAgeMs != oDb.m_llMaxAgeMs);
    return vecNames;
}

void TakeReloadable(const SConfig& oNew, SConfig& oRunning) {
    oRunning.m_vecKeys = oNew.m_vecKeys;
    ApplySecrets(SecretsOf(oNew), oRunning);
    oRunning.m_sHttpTokenFile = oNew.m_sHttpTokenFile;
    oRunning.m_oMail.m_sPasswordFile = oNew.m_oMail.m_sPasswordFile;
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        oRunning.m_aWebhooks[i].m_sSecretFile = oNew.m_aWebhooks[i].m_sSecretFile;
    }
}

std::string ReloadText(size_t nKeys, const std::vector<std::string>& vecChangedSecrets,
                       const std::vector<std::string>& vecNeedRestart) {
    std::string sText = "reloaded: keys " + std::to_string(nKeys) + "; ";
    sText += vecChangedSecrets.empty() ? "secrets unchanged"
                                       : "secrets changed: " + Joined(vecChangedSecrets);
    if (!vecNeedRestart.empty()) {
        sText += "; needs a restart: " + Joined(vecNeedRestart);
    }
    return sText;
}

}  // namespace relayd
