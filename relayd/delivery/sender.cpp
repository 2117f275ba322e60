#include "relayd/delivery/sender.h"

#include "relayd/delivery/mail_format.h"
#include "relayd/delivery/smtp_sender.h"
#include "relayd/delivery/webhook_sender.h"

namespace relayd {

namespace {

bool HasScheme(const std::string& sUrl, std::initializer_list<const char*> lstSchemes) {
    for (const char* szScheme : lstSchemes) {
        const std::string sPrefix = std::string(szScheme) + "://";
        if (sUrl.compare(0, sPrefix.size(), sPrefix) == 0 && sUrl.size() > sPrefix.size()) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CheckDeliverySettings(const SConfig& oConfig, std::string& sErrMsg) {
    const auto& oMail = oConfig.m_oMail;
    if (!oMail.m_sSmtp.empty() && !HasScheme(oMail.m_sSmtp, {"smtp", "smtps"})) {
        sErrMsg = "mail.smtp: '" + oMail.m_sSmtp + "' is not an smtp:// or smtps:// URL";
        return false;
    }
    if (!PlainAddress(oMail.m_sFrom)) {
        sErrMsg = "mail.from: '" + oMail.m_sFrom +
                  "' is not a plain address such as fanout-relay@localhost";
        return false;
    }
    if (!PlainDomain(oMail.m_sDomain)) {
        sErrMsg = "mail.domain: '" + oMail.m_sDomain + "' is not a host name such as example.com";
        return false;
    }
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        const std::string& sUrl = oConfig.m_aWebhooks[i].m_sUrl;
        if (eChannel != relay_proto::CH_MAIL && !sUrl.empty() &&
            !HasScheme(sUrl, {"http", "https"})) {
            sErrMsg = std::string(relay_proto::ChannelName(eChannel)) + ".webhook: '" + sUrl +
                      "' is not an http:// or https:// URL";
            return false;
        }
    }
    const auto& oDelivery = oConfig.m_oDelivery;
    if (oDelivery.m_llSyncTimeoutMs <= 0 || oDelivery.m_llAttemptTimeoutMs <= 0 ||
        oDelivery.m_llRetryInitialMs <= 0 || oDelivery.m_llMaxAgeMs <= 0) {
        sErrMsg =
            "delivery: sync_timeout, attempt_timeout, retry_initial and max_age must be "
            "longer than 0";
        return false;
    }
    if (oDelivery.m_llRetryMaxMs < oDelivery.m_llRetryInitialMs) {
        sErrMsg = "delivery.retry_max: shorter than delivery.retry_initial";
        return false;
    }
    return true;
}

std::unique_ptr<ISender> MakeSender(const SConfig& oConfig, relay_proto::CHANNEL eChannel,
                                    const std::atomic<bool>* pAbort) {
    if (eChannel == relay_proto::CH_MAIL) {
        return std::unique_ptr<ISender>(new CSmtpSender(oConfig, pAbort));
    }
    return std::unique_ptr<ISender>(new CWebhookSender(oConfig.m_aWebhooks[eChannel], pAbort));
}

}  // namespace relayd
