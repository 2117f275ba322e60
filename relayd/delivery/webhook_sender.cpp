#include "relayd/delivery/webhook_sender.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "relayd/delivery/retry_plan.h"
#include "relayd/delivery/webhook_format.h"
#include "relayd/record/clock.h"

namespace relayd {

namespace {

// How much of an answer's body is kept for the record.
const size_t kBodyKept = 200;
const char kRetryAfter[] = "retry-after:";

std::string WithoutLineEnd(const char* pData, size_t nLen) {
    while (nLen > 0 && (pData[nLen - 1] == '\n' || pData[nLen - 1] == '\r')) {
        --nLen;
    }
    return std::string(pData, nLen);
}

}  // namespace

CWebhookSender::CWebhookSender(const SWebhook& oWebhook, const std::atomic<bool>* pAbort)
    : m_oCurl(pAbort), m_sUrl(oWebhook.m_sUrl), m_sSecret(oWebhook.m_sSecret) {
    CURL* pCurl = m_oCurl.Handle();
    if (pCurl == nullptr) {
        return;
    }
    curl_easy_setopt(pCurl, CURLOPT_URL, m_sUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pCurl, CURLOPT_POST, 1L);
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, &CWebhookSender::OnHeader);
    curl_easy_setopt(pCurl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, &CWebhookSender::OnBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, this);
}

SAttemptResult CWebhookSender::Send(const SMessage& oMessage, int64_t llTimeoutMs) {
    SAttemptResult oResult;
    CURL* pCurl = m_oCurl.Handle();
    const std::string sBody = WebhookBody(oMessage);
    SLIST_PTR pHeaders;
    // "Expect:" keeps libcurl from waiting for a 100 Continue before large bodies.
    bool bHeadersOk = SlistAppend(pHeaders, "Content-Type: application/json") &&
                      SlistAppend(pHeaders, "X-Fanout-Id: " + std::to_string(oMessage.m_llId)) &&
                      SlistAppend(pHeaders, "Expect:");
    if (bHeadersOk && !m_sSecret.empty()) {
        bHeadersOk =
            SlistAppend(pHeaders, "X-Fanout-Signature: " + SignatureValue(m_sSecret, sBody));
    }
    if (pCurl == nullptr || !bHeadersOk) {
        oResult.m_sDetail = "libcurl could not start a transfer";
        return oResult;
    }
    curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pHeaders.get());
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDS, sBody.data());
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sBody.size()));
    m_oCurl.SetTimeoutMs(llTimeoutMs);
    m_sStatusLine.clear();
    m_sRetryAfter.clear();
    m_sBodyStart.clear();
    std::string sFailure;
    m_oCurl.Perform(sFailure);
    long lStatus = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &lStatus);
    curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDS, nullptr);

    // A status that arrived decides, even when the body was then cut off.
    oResult.m_eOutcome = ClassifyHttp(lStatus);
    if (lStatus == 0) {
        oResult.m_sDetail = SafeDetail(sFailure);
        return oResult;
    }
    std::string sDetail = m_sStatusLine.substr(m_sStatusLine.find(' ') + 1);
    sDetail = "HTTP " + (sDetail.empty() ? std::to_string(lStatus) : sDetail);
    if (!m_sBodyStart.empty()) {
        sDetail += ": " + m_sBodyStart;
    }
    oResult.m_sDetail = SafeDetail(sDetail);
    int64_t llDelayMs = 0;
    if (oResult.m_eOutcome == OC_RETRY && ParseRetryAfter(m_sRetryAfter, WallNowMs(), llDelayMs)) {
        oResult.m_llRetryAfterMs = llDelayMs;
    }
    return oResult;
}

// static
size_t CWebhookSender::OnHeader(char* pData, size_t nSize, size_t nCount, void* pThis) {
    CWebhookSender* pSender = static_cast<CWebhookSender*>(pThis);
    const size_t nLen = nSize * nCount;
    const size_t nNameLen = sizeof(kRetryAfter) - 1;
    if (nLen >= 5 && strncmp(pData, "HTTP/", 5) == 0) {
        pSender->m_sStatusLine = WithoutLineEnd(pData, nLen);
        pSender->m_sRetryAfter.clear();
    } else if (nLen > nNameLen && strncasecmp(pData, kRetryAfter, nNameLen) == 0) {
        pSender->m_sRetryAfter = WithoutLineEnd(pData + nNameLen, nLen - nNameLen);
    }
    return nLen;
}

// static
size_t CWebhookSender::OnBody(char* pData, size_t nSize, size_t nCount, void* pThis) {
    CWebhookSender* pSender = static_cast<CWebhookSender*>(pThis);
    const size_t nLen = nSize * nCount;
    const size_t nRoom = kBodyKept - std::min(kBodyKept, pSender->m_sBodyStart.size());
    pSender->m_sBodyStart.append(pData, std::min(nRoom, nLen));
    return nLen;
}

}  // namespace relayd
