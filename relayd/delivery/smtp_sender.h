// Mail over SMTP (or SMTPS, STARTTLS when the server offers it) through libcurl: the
// envelope from [mail] from to the receivers and cc at [mail] domain, a MIME message with
// a text/plain UTF-8 body and base64 attachments.
#ifndef RELAYD_DELIVERY_SMTP_SENDER_H
#define RELAYD_DELIVERY_SMTP_SENDER_H

#include <curl/curl.h>

#include <atomic>
#include <deque>
#include <string>

#include "relayd/config/config.h"
#include "relayd/delivery/curl_easy.h"
#include "relayd/delivery/sender.h"

namespace relayd {

class CSmtpSender : public ISender {
public:
    CSmtpSender(const SConfig& oConfig, const std::atomic<bool>* pAbort);

    // 2xx delivered; a 5xx reply failed; a 4xx reply, no connection or no reply in time
    // retry. The detail is the server's last reply line where there was one.
    SAttemptResult Send(const SMessage& oMessage, int64_t llTimeoutMs) override;

private:
    struct SMimeFree {
        void operator()(curl_mime* p) const { curl_mime_free(p); }
    };
    typedef std::unique_ptr<curl_mime, SMimeFree> MIME_PTR;

    bool BuildHeaders(const SMessage& oMessage, SLIST_PTR& pHeaders, SLIST_PTR& pRecipients,
                      std::string& sProblem) const;
    MIME_PTR BuildBody(const SMessage& oMessage) const;
    // The last reply line with code lReply, or the last line when none has it.
    std::string ReplyLine(long lReply) const;
    static size_t OnReply(char* pData, size_t nOne, size_t nSize, void* pThis);

    CCurlEasy m_oCurl;
    std::string m_sUrl;
    std::string m_sFrom;
    std::string m_sDomain;
    std::string m_sIdHost;            // the Message-ID's right-hand side: the sender's domain
    long m_lUseSsl = CURLUSESSL_TRY;  // CURLUSESSL_ALL whenever a password is sent
    // The server's reply line being read, and the last whole lines of this attempt
    // (a connection closed meanwhile adds its "221" to them).
    std::deque<std::string> m_deqReplies;
};

}  // namespace relayd

#endif  // RELAYD_DELIVERY_SMTP_SENDER_H
