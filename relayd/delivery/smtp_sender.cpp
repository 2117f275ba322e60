#include "relayd/delivery/smtp_sender.h"

#include <algorithm>

#include "relayd/delivery/mail_format.h"
#include "relayd/record/redact.h"

namespace relayd {

namespace {

const char kBodyType[] = "text/plain; charset=UTF-8";
const char kAttachmentType[] = "application/octet-stream";
const char kBase64[] = "base64";
const size_t kRepliesKept = 16;
const size_t kMaxReplyLine = 1024;

// A password is never sent in clear: smtps:// is TLS from the start, and smtp:// must be
// upgraded with STARTTLS whenever a password goes along.
long TlsRule(const SConfig& oConfig) {
    const std::string& sUrl = oConfig.m_oMail.m_sSmtp;
    const bool bPassword = !oConfig.m_oMail.m_sPassword.empty() || Redacted(sUrl) != sUrl;
    return bPassword ? CURLUSESSL_ALL : CURLUSESSL_TRY;
}

}  // namespace

CSmtpSender::CSmtpSender(const SConfig& oConfig, const std::atomic<bool>* pAbort)
    : m_oCurl(pAbort),
      m_sUrl(oConfig.m_oMail.m_sSmtp),
      m_sFrom(oConfig.m_oMail.m_sFrom),
      m_sDomain(oConfig.m_oMail.m_sDomain),
      m_sIdHost(m_sFrom.substr(m_sFrom.rfind('@') + 1)) {
    CURL* pCurl = m_oCurl.Handle();
    if (pCurl == nullptr) {
        return;
    }
    curl_easy_setopt(pCurl, CURLOPT_URL, m_sUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    m_lUseSsl = TlsRule(oConfig);
    curl_easy_setopt(pCurl, CURLOPT_USE_SSL, m_lUseSsl);
    if (!oConfig.m_oMail.m_sPassword.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_PASSWORD, oConfig.m_oMail.m_sPassword.c_str());
    }
    curl_easy_setopt(pCurl, CURLOPT_MAIL_FROM, ("<" + m_sFrom + ">").c_str());
    // libcurl hands the server's reply lines to the header callback.
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, &CSmtpSender::OnReply);
    curl_easy_setopt(pCurl, CURLOPT_HEADERDATA, this);
}

bool CSmtpSender::BuildHeaders(const SMessage& oMessage, SLIST_PTR& pHeaders,
                               SLIST_PTR& pRecipients, std::string& sProblem) const {
    std::vector<std::string> vecTo;
    std::vector<std::string> vecCc;
    std::string sBadName;
    if (!MailAddresses(oMessage.m_vecReceivers, m_sDomain, vecTo, sBadName) ||
        !MailAddresses(oMessage.m_vecCc, m_sDomain, vecCc, sBadName)) {
        sProblem = "not a mailable receiver name: \"" + sBadName + "\"";
        return false;
    }
    if (vecTo.empty()) {
        sProblem = "no receiver";
        return false;
    }
    std::vector<std::string> vecLines = {
        "From: " + m_sFrom,
        AddressHeader("To", vecTo),
        SubjectHeader(oMessage.m_sTitle),
        "Date: " + MailDate(oMessage.m_llReceivedAtMs),
        "Message-ID: " +
            MessageIdHeaderValue(oMessage.m_llId, oMessage.m_llReceivedAtMs, m_sIdHost),
        "MIME-Version: 1.0",
        "X-Fanout-Id: " + std::to_string(oMessage.m_llId),
    };
    if (!vecCc.empty()) {
        vecLines.push_back(AddressHeader("Cc", vecCc));
    }
    for (const std::string& sLine : vecLines) {
        if (!SlistAppend(pHeaders, sLine)) {
            sProblem = "out of memory";
            return false;
        }
    }
    vecTo.insert(vecTo.end(), vecCc.begin(), vecCc.end());
    for (const std::string& sAddress : vecTo) {
        if (!SlistAppend(pRecipients, "<" + sAddress + ">")) {
            sProblem = "out of memory";
            return false;
        }
    }
    return true;
}

CSmtpSender::MIME_PTR CSmtpSender::BuildBody(const SMessage& oMessage) const {
    MIME_PTR pMime(curl_mime_init(m_oCurl.Handle()));
    if (!pMime) {
        return pMime;
    }
    curl_mimepart* pText = curl_mime_addpart(pMime.get());
    if (pText == nullptr ||
        curl_mime_data(pText, oMessage.m_sContent.data(), oMessage.m_sContent.size()) != CURLE_OK ||
        curl_mime_type(pText, kBodyType) != CURLE_OK ||
        curl_mime_encoder(pText, kBase64) != CURLE_OK) {
        return MIME_PTR();
    }
    for (const SAttachment& oAttachment : oMessage.m_vecAttachments) {
        // The disposition header is built here rather than by curl_mime_filename, which
        // writes the name raw into a quoted string: no RFC 2231 for names that are not
        // ASCII, and line breaks in a name would end the header.
        SLIST_PTR pPartHeaders;
        curl_mimepart* pPart = curl_mime_addpart(pMime.get());
        if (pPart == nullptr ||
            !SlistAppend(pPartHeaders, DispositionHeader(oAttachment.m_sName)) ||
            curl_mime_data(pPart, oAttachment.m_sData.data(), oAttachment.m_sData.size()) !=
                CURLE_OK ||
            curl_mime_type(pPart, kAttachmentType) != CURLE_OK ||
            curl_mime_encoder(pPart, kBase64) != CURLE_OK ||
            curl_mime_headers(pPart, pPartHeaders.get(), 1) != CURLE_OK) {
            return MIME_PTR();
        }
        static_cast<void>(pPartHeaders.release());  // the part owns them now
    }
    return pMime;
}

SAttemptResult CSmtpSender::Send(const SMessage& oMessage, int64_t llTimeoutMs) {
    SAttemptResult oResult;
    CURL* pCurl = m_oCurl.Handle();
    if (pCurl == nullptr) {
        oResult.m_sDetail = "libcurl could not start a transfer";
        return oResult;
    }
    SLIST_PTR pHeaders;
    SLIST_PTR pRecipients;
    std::string sProblem;
    if (!BuildHeaders(oMessage, pHeaders, pRecipients, sProblem)) {
        oResult.m_eOutcome = sProblem == "out of memory" ? OC_RETRY : OC_FAILED;
        oResult.m_sDetail = sProblem;
        return oResult;
    }
    MIME_PTR pMime = BuildBody(oMessage);
    if (!pMime) {
        oResult.m_sDetail = "libcurl could not build the message";
        return oResult;
    }
    curl_easy_setopt(pCurl, CURLOPT_MAIL_RCPT, pRecipients.get());
    curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pHeaders.get());
    curl_easy_setopt(pCurl, CURLOPT_MIMEPOST, pMime.get());
    m_oCurl.SetTimeoutMs(llTimeoutMs);
    m_deqReplies.clear();
    std::string sFailure;
    const CURLcode eCode = m_oCurl.Perform(sFailure);
    long lReply = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &lReply);
    curl_easy_setopt(pCurl, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(pCurl, CURLOPT_MAIL_RCPT, nullptr);

    oResult.m_eOutcome = ClassifySmtp(eCode == CURLE_OK, lReply);
    const bool bAnswered = eCode == CURLE_OK || lReply >= 400;
    if (eCode == CURLE_USE_SSL_FAILED && m_lUseSsl == CURLUSESSL_ALL) {
        sFailure = "the server offers no STARTTLS, and a password is sent only over TLS (" +
                   sFailure + ")";
    }
    const std::string sReply = ReplyLine(lReply);
    oResult.m_sDetail = SafeDetail(bAnswered && !sReply.empty() ? sReply : sFailure);
    return oResult;
}

std::string CSmtpSender::ReplyLine(long lReply) const {
    const std::string sCode = std::to_string(lReply);
    for (auto it = m_deqReplies.rbegin(); it != m_deqReplies.rend(); ++it) {
        if (it->compare(0, sCode.size(), sCode) == 0) {
            return *it;
        }
    }
    return m_deqReplies.empty() ? std::string() : m_deqReplies.back();
}

// static
size_t CSmtpSender::OnReply(char* pData, size_t /*nOne*/, size_t nSize, void* pThis) {
    // One complete reply line per call, with its line end.
    CSmtpSender* pSender = static_cast<CSmtpSender*>(pThis);
    std::string sLine(pData, std::min<size_t>(nSize, kMaxReplyLine));
    while (!sLine.empty() && (sLine.back() == '\n' || sLine.back() == '\r')) {
        sLine.pop_back();
    }
    pSender->m_deqReplies.push_back(std::move(sLine));
    if (pSender->m_deqReplies.size() > kRepliesKept) {
        pSender->m_deqReplies.pop_front();
    }
    return nSize;
}

}  // namespace relayd
