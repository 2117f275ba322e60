#include "relayd/delivery/sender.h"

#include "relayd/delivery/smtp_sender.h"
#include "relayd/delivery/webhook_sender.h"

namespace relayd {

std::unique_ptr<ISender> MakeSender(const SConfig& oConfig, relay_proto::CHANNEL eChannel,
                                    const std::atomic<bool>* pAbort) {
    if (eChannel == relay_proto::CH_MAIL) {
        return std::unique_ptr<ISender>(new CSmtpSender(oConfig, pAbort));
    }
    return std::unique_ptr<ISender>(new CWebhookSender(oConfig.m_aWebhooks[eChannel], pAbort));
}

}  // namespace relayd
