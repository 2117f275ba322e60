#include "relayd/config/live_secrets.h"

namespace relayd {

SSecrets SecretsOf(const SConfig& oConfig) {
    SSecrets oSecrets;
    oSecrets.m_sHttpToken = oConfig.m_sHttpToken;
    oSecrets.m_sMailPassword = oConfig.m_oMail.m_sPassword;
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        oSecrets.m_aWebhookSecrets[i] = oConfig.m_aWebhooks[i].m_sSecret;
    }
    return oSecrets;
}

void ApplySecrets(const SSecrets& oSecrets, SConfig& oConfig) {
    oConfig.m_sHttpToken = oSecrets.m_sHttpToken;
    oConfig.m_oMail.m_sPassword = oSecrets.m_sMailPassword;
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        oConfig.m_aWebhooks[i].m_sSecret = oSecrets.m_aWebhookSecrets[i];
    }
}

std::vector<std::string> ChangedSecrets(const SSecrets& oOld, const SSecrets& oNew) {
    std::vector<std::string> vecNames;
    if (oOld.m_sHttpToken != oNew.m_sHttpToken) {
        vecNames.push_back("http_token");
    }
    if (oOld.m_sMailPassword != oNew.m_sMailPassword) {
        vecNames.push_back("mail.password");
    }
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        if (oOld.m_aWebhookSecrets[i] != oNew.m_aWebhookSecrets[i]) {
            vecNames.push_back(
                std::string(relay_proto::ChannelName(static_cast<relay_proto::CHANNEL>(i))) +
                ".secret");
        }
    }
    return vecNames;
}

SSecrets CLiveSecrets::Get() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return m_oSecrets;
}

std::string CLiveSecrets::HttpToken() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return m_oSecrets.m_sHttpToken;
}

uint64_t CLiveSecrets::Generation() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return m_ddwGeneration;
}

void CLiveSecrets::Set(const SSecrets& oSecrets) {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    m_oSecrets = oSecrets;
    ++m_ddwGeneration;
}

}  // namespace relayd
