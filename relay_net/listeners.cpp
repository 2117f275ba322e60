#include "relay_net/listeners.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "dev_tools/utils.h"
#include "relay_net/net_addr.h"

namespace relay_net {

namespace {

// Connections accepted from one listener per event, so the others get their turn.
const int kAcceptBurst = 64;
// Pause after running out of descriptors or memory, until some connections have ended.
const uint64_t kAcceptPauseMs = 100;

bool OutOfResources(int iErrno) {
    return iErrno == EMFILE || iErrno == ENFILE || iErrno == ENOBUFS || iErrno == ENOMEM;
}

// Failures that concern one connection only: take the next.
bool OneConnectionLost(int iErrno) {
    return iErrno == EINTR || iErrno == ECONNABORTED || iErrno == EPROTO || iErrno == EPERM;
}

}  // namespace

CListeners::~CListeners() {
    Close();
}

bool CListeners::Listen(const std::vector<std::string>& vecAddrs, int nPortOffset,
                        std::string& sErrMsg) {
    for (const std::string& sAddr : vecAddrs) {
        if (std::find(m_vecAddrs.begin(), m_vecAddrs.end(), sAddr) != m_vecAddrs.end()) {
            continue;
        }
        m_vecAddrs.push_back(sAddr);
        for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
            if (!Bind(sAddr, static_cast<relay_proto::CHANNEL>(i), nPortOffset, sErrMsg)) {
                return false;
            }
        }
    }
    return true;
}

bool CListeners::Bind(const std::string& sAddr, relay_proto::CHANNEL eChannel, int nPortOffset,
                      std::string& sErrMsg) {
    const uint16_t wPort = relay_proto::ChannelPort(eChannel, nPortOffset);
    const std::string sWhere = "cannot listen on " + HostPortText(sAddr, wPort) + " (" +
                               relay_proto::ChannelName(eChannel) + ")";
    sockaddr_storage oAddr;
    socklen_t nLen = 0;
    if (!ParseAddress(sAddr, wPort, oAddr, nLen)) {
        sErrMsg = sWhere + ": not an IPv4 or IPv6 address";
        return false;
    }
    const int iFd = socket(oAddr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (iFd < 0) {
        sErrMsg = SysError(sWhere, errno);
        return false;
    }
    const int iOn = 1;
    // An IPv6 socket serves IPv6 only: an IPv4 address is listed, and bound, by itself.
    if (setsockopt(iFd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0 ||
        (oAddr.ss_family == AF_INET6 &&
         setsockopt(iFd, IPPROTO_IPV6, IPV6_V6ONLY, &iOn, sizeof(iOn)) != 0) ||
        bind(iFd, reinterpret_cast<const sockaddr*>(&oAddr), nLen) != 0 ||
        listen(iFd, SOMAXCONN) != 0) {
        sErrMsg = SysError(sWhere, errno);
        CloseSocket(iFd);
        return false;
    }
    m_vecListeners.push_back({iFd, eChannel});
    return true;
}

bool CListeners::Start(ACCEPT_HANDLER fnAccept, std::string& sErrMsg) {
    m_fnAccept = std::move(fnAccept);
    for (const SListener& oListener : m_vecListeners) {
        if (!m_oLoop.Watch(
                oListener.m_iFd, EPOLLIN, [this, oListener](uint32_t) { AcceptFrom(oListener); },
                sErrMsg)) {
            return false;
        }
    }
    m_bWatching = true;
    return true;
}

void CListeners::Close() {
    std::string sErrMsg;
    for (const SListener& oListener : m_vecListeners) {
        if (!m_oLoop.Unwatch(oListener.m_iFd, sErrMsg)) {
            Log("listener: " + sErrMsg);
        }
        CloseSocket(oListener.m_iFd);
    }
    m_vecListeners.clear();
    m_oLoop.CancelTimer(m_ddwResumeTimer);
    m_ddwResumeTimer = 0;
    m_bWatching = false;
}

bool CListeners::SetWatching(bool bOn) {
    std::string sErrMsg;
    for (const SListener& oListener : m_vecListeners) {
        if (!m_oLoop.Rewatch(oListener.m_iFd, bOn ? uint32_t(EPOLLIN) : 0u, sErrMsg)) {
            Log("listener: " + sErrMsg);
            return false;
        }
    }
    m_bWatching = bOn;
    return true;
}

void CListeners::Pause() {
    if (!SetWatching(false)) {
        return;
    }
    m_ddwResumeTimer = m_oLoop.AddTimer(CEventLoop::NowMs() + kAcceptPauseMs, [this] {
        m_ddwResumeTimer = 0;
        SetWatching(true);
    });
}

void CListeners::AcceptFrom(const SListener& oListener) {
    for (int i = 0; i < kAcceptBurst && m_bWatching; ++i) {
        sockaddr_storage oPeer = {};
        socklen_t nLen = sizeof(oPeer);
        const int iFd = accept4(oListener.m_iFd, reinterpret_cast<sockaddr*>(&oPeer), &nLen,
                                SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (iFd < 0) {
            const int iErrno = errno;
            if (iErrno == EAGAIN || iErrno == EWOULDBLOCK) {
                return;
            }
            if (OneConnectionLost(iErrno)) {
                continue;
            }
            if (OutOfResources(iErrno)) {
                if (!m_bOutOfResources) {
                    Log(SysError("accept", iErrno) + "; accepting again in " +
                        to_str(kAcceptPauseMs) + " ms");
                }
                m_bOutOfResources = true;
                Pause();
            } else {
                Log(SysError("accept", iErrno));
            }
            return;
        }
        m_bOutOfResources = false;
        Hand(iFd, oPeer, oListener.m_eChannel);
    }
}

// Sets the connection up and gives it to the owner; closes it when a step fails.
void CListeners::Hand(int iFd, const sockaddr_storage& oPeer, relay_proto::CHANNEL eChannel) {
    SAccepted oConn;
    oConn.m_iFd = iFd;
    oConn.m_eChannel = eChannel;
    oConn.m_oPeer.m_oAddr = oPeer;
    oConn.m_oPeer.m_sText = AddressText(oPeer);
    const int iOn = 1;
    if (setsockopt(iFd, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn)) != 0) {
        Log(SysError("connection from " + oConn.m_oPeer.m_sText + ": setsockopt TCP_NODELAY",
                     errno));
        CloseSocket(iFd);
        return;
    }
    m_fnAccept(std::move(oConn));
}

void CListeners::CloseSocket(int iFd) {
    if (close(iFd) != 0) {
        Log(SysError("close", errno));
    }
}

void CListeners::Log(const std::string& sMsg) {
    if (m_fnLog) {
        m_fnLog(sMsg);
    }
}

}  // namespace relay_net
