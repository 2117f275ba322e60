// The instant-message channels (sms, zeph, lumo): one JSON POST per message to the
// channel's webhook through libcurl, signed when the channel has a secret.
#ifndef RELAYD_DELIVERY_WEBHOOK_SENDER_H
#define RELAYD_DELIVERY_WEBHOOK_SENDER_H

#include <curl/curl.h>

#include <atomic>
#include <string>

#include "relayd/config/config.h"
#include "relayd/delivery/curl_easy.h"
#include "relayd/delivery/sender.h"

namespace relayd {

class CWebhookSender : public ISender {
public:
    CWebhookSender(const SWebhook& oWebhook, const std::atomic<bool>* pAbort);

    // 2xx delivered; no connection or no answer in time, 408, 429 and 5xx retry (after
    // the Retry-After the answer names, when it names one); any other status failed. The
    // detail is the status line and the start of the answer's body.
    SAttemptResult Send(const SMessage& oMessage, int64_t llTimeoutMs) override;

private:
    static size_t OnHeader(char* pData, size_t nSize, size_t nCount, void* pThis);
    static size_t OnBody(char* pData, size_t nSize, size_t nCount, void* pThis);

    CCurlEasy m_oCurl;
    std::string m_sUrl;
    std::string m_sSecret;
    // Of the answer being read (the last one, after any interim 1xx answers).
    std::string m_sStatusLine;
    std::string m_sRetryAfter;
    std::string m_sBodyStart;
};

}  // namespace relayd

#endif  // RELAYD_DELIVERY_WEBHOOK_SENDER_H
