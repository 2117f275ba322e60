#include "relayd/delivery/curl_easy.h"

#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

namespace relayd {

namespace {

// libcurl's global set-up is not safe to race with other threads; do it once.
void GlobalInitOnce() {
    static std::once_flag s_oOnce;
    std::call_once(s_oOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool SlistAppend(SLIST_PTR& pList, const std::string& sLine) {
    curl_slist* pNew = curl_slist_append(pList.get(), sLine.c_str());
    if (pNew == nullptr) {
        return false;
    }
    static_cast<void>(pList.release());  // now owned by pNew
    pList.reset(pNew);
    return true;
}

CCurlEasy::CCurlEasy(const std::atomic<bool>* pAbort) : m_pAbort(pAbort) {
    GlobalInitOnce();
    m_pCurl = curl_easy_init();
    if (m_pCurl == nullptr) {
        return;
    }
    curl_easy_setopt(m_pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_pCurl, CURLOPT_ERRORBUFFER, m_szError);
    curl_easy_setopt(m_pCurl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(m_pCurl, CURLOPT_XFERINFOFUNCTION, &CCurlEasy::OnProgress);
    curl_easy_setopt(m_pCurl, CURLOPT_XFERINFODATA, this);
    // One connection per worker: a new one replaces (and closes) the one before.
    curl_easy_setopt(m_pCurl, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(m_pCurl, CURLOPT_SOCKOPTFUNCTION, &CCurlEasy::OnSocketOpened);
    curl_easy_setopt(m_pCurl, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(m_pCurl, CURLOPT_CLOSESOCKETFUNCTION, &CCurlEasy::OnSocketClose);
    curl_easy_setopt(m_pCurl, CURLOPT_CLOSESOCKETDATA, this);
}

CCurlEasy::~CCurlEasy() {
    if (m_pCurl != nullptr) {
        curl_easy_cleanup(m_pCurl);
    }
}

void CCurlEasy::SetTimeoutMs(int64_t llTimeoutMs) {
    m_llTimeoutMs = llTimeoutMs < 1 ? 1 : llTimeoutMs;
    curl_easy_setopt(m_pCurl, CURLOPT_TIMEOUT_MS, static_cast<long>(m_llTimeoutMs));
}

CURLcode CCurlEasy::Perform(std::string& sFailure) {
    m_szError[0] = '\0';
    // After a failed transfer the connection may still hold the peer's late answer to
    // it, which the next transfer would take for its own: start afresh.
    curl_easy_setopt(m_pCurl, CURLOPT_FRESH_CONNECT, m_bFreshNext ? 1L : 0L);
    const CURLcode eCode = curl_easy_perform(m_pCurl);
    m_bFreshNext = eCode != CURLE_OK;
    if (eCode == CURLE_OK) {
        return eCode;
    }
    if (m_iSocket != CURL_SOCKET_BAD) {
        shutdown(m_iSocket, SHUT_RDWR);
    }
    if (eCode == CURLE_ABORTED_BY_CALLBACK && Aborted()) {
        sFailure = "cut short: the relay is stopping";
    } else if (eCode == CURLE_OPERATION_TIMEDOUT) {
        sFailure = "no answer within " + std::to_string(m_llTimeoutMs) + " ms";
    } else {
        sFailure = m_szError[0] != '\0' ? m_szError : curl_easy_strerror(eCode);
    }
    return eCode;
}

int CCurlEasy::OnSocketOpened(void* pThis, curl_socket_t iSocket, curlsocktype) {
    static_cast<CCurlEasy*>(pThis)->m_iSocket = iSocket;
    return CURL_SOCKOPT_OK;
}

int CCurlEasy::OnSocketClose(void* pThis, curl_socket_t iSocket) {
    CCurlEasy* pEasy = static_cast<CCurlEasy*>(pThis);
    if (pEasy->m_iSocket == iSocket) {
        pEasy->m_iSocket = CURL_SOCKET_BAD;
    }
    return close(iSocket);
}

int CCurlEasy::OnProgress(void* pThis, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CCurlEasy*>(pThis)->Aborted() ? 1 : 0;
}

}  // namespace relayd
