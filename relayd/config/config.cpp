#include "relayd/config/config.h"

namespace relayd {

bool HasDestination(const SConfig& oConfig, relay_proto::CHANNEL eChannel) {
    if (eChannel == relay_proto::CH_MAIL) {
        return !oConfig.m_oMail.m_sSmtp.empty();
    }
    return !oConfig.m_aWebhooks[eChannel].m_sUrl.empty();
}

}  // namespace relayd
