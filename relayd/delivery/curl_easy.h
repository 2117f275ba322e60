// A libcurl easy handle kept by one worker across attempts (so connections are reused),
// with the settings every attempt shares: no signals, a time limit, and a stop flag that
// cuts a transfer short when the relay shuts down. The connection of a failed transfer is
// shut down at once, so that libcurl's goodbye on it (an SMTP QUIT, when the next
// transfer replaces the connection or the handle ends) cannot wait minutes for a peer
// that stopped answering.
#ifndef RELAYD_DELIVERY_CURL_EASY_H
#define RELAYD_DELIVERY_CURL_EASY_H

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace relayd {

struct SSlistFree {
    void operator()(curl_slist* p) const { curl_slist_free_all(p); }
};
typedef std::unique_ptr<curl_slist, SSlistFree> SLIST_PTR;

// Appends sLine to pList; false when libcurl could not (out of memory).
bool SlistAppend(SLIST_PTR& pList, const std::string& sLine);

class CCurlEasy {
public:
    // pAbort, when not null, is watched during transfers: once true, they end at once.
    explicit CCurlEasy(const std::atomic<bool>* pAbort);
    ~CCurlEasy();
    CCurlEasy(const CCurlEasy&) = delete;
    CCurlEasy& operator=(const CCurlEasy&) = delete;

    // Null when libcurl could not make a handle.
    CURL* Handle() const { return m_pCurl; }
    // Sets the whole-transfer time limit for the next Perform().
    void SetTimeoutMs(int64_t llTimeoutMs);
    // Runs the transfer (on a new connection when the one before failed); on failure
    // sFailure says why, in words.
    CURLcode Perform(std::string& sFailure);
    bool Aborted() const { return m_pAbort != nullptr && m_pAbort->load(); }

private:
    static int OnProgress(void* pThis, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    // Keep track of the connection's socket.
    static int OnSocketOpened(void* pThis, curl_socket_t iSocket, curlsocktype ePurpose);
    static int OnSocketClose(void* pThis, curl_socket_t iSocket);

    CURL* m_pCurl = nullptr;
    const std::atomic<bool>* m_pAbort;
    int64_t m_llTimeoutMs = 0;
    bool m_bFreshNext = false;
    curl_socket_t m_iSocket = CURL_SOCKET_BAD;  // the open connection's, if any
    char m_szError[CURL_ERROR_SIZE] = {};
};

}  // namespace relayd

#endif  // RELAYD_DELIVERY_CURL_EASY_H
