#include "fuzz/reply_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "fuzz/fuzz_check.h"
#include "tests/wire_bytes.h"

namespace fuzz {

namespace {

const int kIoLimitMs = 2000;          // the longest the peer waits on a socket
const size_t kMaxRequest = 1u << 20;  // the fuzz target's requests are small
const useconds_t kPiecePauseUs = 100;

void SetIoLimits(int iFd) {
    const timeval tv = {kIoLimitMs / 1000, (kIoLimitMs % 1000) * 1000};
    setsockopt(iFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(iFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    const int iOn = 1;
    setsockopt(iFd, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn));
}

// Appends up to nWant bytes; false when the client closed, failed or went quiet first.
bool ReadUpTo(int iFd, size_t nWant, std::string& sOut) {
    char szBuf[4096];
    while (nWant > 0) {
        const ssize_t n = recv(iFd, szBuf, std::min(sizeof(szBuf), nWant), 0);
        if (n <= 0) {
            return false;
        }
        sOut.append(szBuf, static_cast<size_t>(n));
        nWant -= static_cast<size_t>(n);
    }
    return true;
}

// The request frame: its head, then as many bytes as its length field announces.
std::string ReadRequestFrame(int iFd) {
    std::string sFrame;
    if (ReadUpTo(iFd, 5, sFrame)) {
        const uint32_t dwSize = wire_bytes::ReadBe32(sFrame.data() + 1);
        if (dwSize > 5 && dwSize <= kMaxRequest) {
            ReadUpTo(iFd, dwSize - 5, sFrame);
        }
    }
    return sFrame;
}

// Writes every piece; stops quietly when the client has gone (it may close once its frame is
// complete, before the rest of the script).
void WritePieces(int iFd, const std::vector<std::string>& vecPieces) {
    for (size_t i = 0; i < vecPieces.size(); ++i) {
        if (i > 0) {
            usleep(kPiecePauseUs);
        }
        const std::string& sPiece = vecPieces[i];
        for (size_t nDone = 0; nDone < sPiece.size();) {
            const ssize_t n = send(iFd, sPiece.data() + nDone, sPiece.size() - nDone, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            nDone += static_cast<size_t>(n);
        }
    }
}

}  // namespace

CReplyPeer& CReplyPeer::Instance() {
    // Never destroyed: its thread runs until the process ends.
    static CReplyPeer* const s_pPeer = new CReplyPeer;
    return *s_pPeer;
}

CReplyPeer::CReplyPeer() {
    m_iListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(m_iListenFd >= 0);
    sockaddr_in oAddr;
    memset(&oAddr, 0, sizeof(oAddr));
    oAddr.sin_family = AF_INET;
    oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    oAddr.sin_port = 0;
    FUZZ_CHECK(bind(m_iListenFd, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr)) == 0);
    FUZZ_CHECK(listen(m_iListenFd, 16) == 0);
    socklen_t nLen = sizeof(oAddr);
    FUZZ_CHECK(getsockname(m_iListenFd, reinterpret_cast<sockaddr*>(&oAddr), &nLen) == 0);
    m_wPort = ntohs(oAddr.sin_port);
    std::thread(&CReplyPeer::Serve, this).detach();
}

void CReplyPeer::Arm(const std::vector<std::string>& vecPieces) {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    m_vecPieces = vecPieces;
    m_bArmed = true;
    m_bServed = false;
    m_oCond.notify_all();
}

bool CReplyPeer::WaitServed(int nTimeoutMs, std::string& sRequest) {
    std::unique_lock<std::mutex> oLock(m_oMutex);
    if (!m_oCond.wait_for(oLock, std::chrono::milliseconds(nTimeoutMs),
                          [this] { return m_bServed; })) {
        return false;
    }
    sRequest.swap(m_sRequest);
    return true;
}

bool CReplyPeer::TakeScript(std::vector<std::string>& vecPieces) {
    std::unique_lock<std::mutex> oLock(m_oMutex);
    if (!m_oCond.wait_for(oLock, std::chrono::milliseconds(kIoLimitMs),
                          [this] { return m_bArmed; })) {
        return false;
    }
    m_bArmed = false;
    vecPieces.swap(m_vecPieces);
    return true;
}

void CReplyPeer::Served(const std::string& sRequest) {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    m_sRequest = sRequest;
    m_bServed = true;
    m_oCond.notify_all();
}

void CReplyPeer::Serve() {
    // Signals are the fuzzing thread's business (libFuzzer's watchdog): none interrupts the peer.
    sigset_t oAll;
    sigfillset(&oAll);
    pthread_sigmask(SIG_BLOCK, &oAll, nullptr);
    for (;;) {
        const int iFd = accept4(m_iListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (iFd < 0) {
            usleep(1000);  // a failed accept (a client that gave up, no descriptors): retry
            continue;
        }
        std::vector<std::string> vecPieces;
        if (TakeScript(vecPieces)) {
            SetIoLimits(iFd);
            const std::string sRequest = ReadRequestFrame(iFd);
            WritePieces(iFd, vecPieces);
            close(iFd);
            Served(sRequest);
        } else {
            close(iFd);  // a connection nobody armed a script for
        }
    }
}

}  // namespace fuzz
