#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "dev_tools/utils.h"

namespace relay_sim {

namespace {

// epoll keys: connections by their seq, listeners and the wake-up fd above them.
const uint64_t kListenerKey = uint64_t(1) << 62;
const uint64_t kWakeKey = UINT64_MAX;
const int kMaxEvents = 256;
// Connections accepted from one listener per event, so the others get their turn.
const int kAcceptBurst = 64;
// Pause after running out of file descriptors, until some connections have ended.
const uint64_t kAcceptPauseMs = 100;

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string AddressText(const sockaddr_in& oAddr) {
    char szIp[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &oAddr.sin_addr, szIp, sizeof(szIp));
    return std::string(szIp) + ":" + to_str(ntohs(oAddr.sin_port));
}

bool PrepareSaveDir(const std::string& sDir, std::string& sErrMsg) {
    struct stat oStat;
    if (mkdir(sDir.c_str(), 0755) != 0 && errno != EEXIST) {
        sErrMsg = "cannot create --save folder " + sDir + ": " + strerror(errno);
        return false;
    }
    if (stat(sDir.c_str(), &oStat) != 0 || !S_ISDIR(oStat.st_mode)) {
        sErrMsg = "--save " + sDir + " is not a folder";
        return false;
    }
    return true;
}

}  // namespace

CRelaySim::CRelaySim(const SSimOptions& oOpts, FILE* pOut) : m_oOpts(oOpts), m_pOut(pOut) {
    m_iEpollFd = epoll_create1(EPOLL_CLOEXEC);
    m_iWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CRelaySim::~CRelaySim() {
    m_mapConns.clear();
    for (const SListener& oListener : m_vecListeners) {
        close(oListener.m_iFd);
    }
    close(m_iWakeFd);
    close(m_iEpollFd);
}

bool CRelaySim::Listen(std::string& sErrMsg) {
    if (m_iEpollFd < 0 || m_iWakeFd < 0) {
        sErrMsg = std::string("cannot set up the event loop: ") + strerror(errno);
        return false;
    }
    if (!m_oOpts.m_sSaveDir.empty() && !PrepareSaveDir(m_oOpts.m_sSaveDir, sErrMsg)) {
        return false;
    }
    for (const std::string& sAddr : m_oOpts.m_vecListen) {
        if (std::find(m_vecAddrs.begin(), m_vecAddrs.end(), sAddr) != m_vecAddrs.end()) {
            continue;
        }
        m_vecAddrs.push_back(sAddr);
        for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
            if (!BindListener(sAddr, static_cast<relay_proto::CHANNEL>(i), sErrMsg)) {
                return false;
            }
        }
    }
    epoll_event oEvent = {};
    oEvent.events = EPOLLIN;
    oEvent.data.u64 = kWakeKey;
    epoll_ctl(m_iEpollFd, EPOLL_CTL_ADD, m_iWakeFd, &oEvent);
    SetAccepting(true);
    return true;
}

bool CRelaySim::BindListener(const std::string& sAddr, relay_proto::CHANNEL eChannel,
                             std::string& sErrMsg) {
    sockaddr_in oAddr = {};
    oAddr.sin_family = AF_INET;
    oAddr.sin_port = htons(relay_proto::ChannelPort(eChannel, m_oOpts.m_nPortOffset));
    inet_pton(AF_INET, sAddr.c_str(), &oAddr.sin_addr);
    const int iFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int iOn = 1;
    if (iFd < 0 || setsockopt(iFd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0 ||
        bind(iFd, reinterpret_cast<const sockaddr*>(&oAddr), sizeof(oAddr)) != 0 ||
        listen(iFd, SOMAXCONN) != 0) {
        sErrMsg = "cannot listen on " + sAddr + ":" + to_str(ntohs(oAddr.sin_port)) + " (" +
                  relay_proto::ChannelName(eChannel) + "): " + strerror(errno);
        if (iFd >= 0) {
            close(iFd);
        }
        return false;
    }
    m_vecListeners.push_back({iFd, eChannel});
    return true;
}

std::string CRelaySim::ReadyLine() const {
    std::string sLine = "fanout_relay_sim: listening on ";
    for (size_t i = 0; i < m_vecAddrs.size(); ++i) {
        sLine += (i == 0 ? "" : ", ") + m_vecAddrs[i];
    }
    return sLine + " ports " +
           to_str(relay_proto::ChannelPort(relay_proto::CH_MAIL, m_oOpts.m_nPortOffset)) + "-" +
           to_str(relay_proto::ChannelPort(relay_proto::CH_SMS, m_oOpts.m_nPortOffset));
}

void CRelaySim::RequestStop() {
    const uint64_t ddwOne = 1;
    if (write(m_iWakeFd, &ddwOne, sizeof(ddwOne)) < 0) {
        // The counter is already set: a stop is pending anyway.
    }
}

bool CRelaySim::Run(std::string& sErrMsg) {
    epoll_event aEvents[kMaxEvents];
    while (true) {
        const int nEvents = epoll_wait(m_iEpollFd, aEvents, kMaxEvents, WaitTimeoutMs(NowMs()));
        if (nEvents < 0 && errno != EINTR) {
            sErrMsg = std::string("epoll_wait failed: ") + strerror(errno);
            return false;
        }
        const uint64_t ddwNowMs = NowMs();
        for (int i = 0; i < nEvents; ++i) {
            const uint64_t ddwKey = aEvents[i].data.u64;
            if (ddwKey == kWakeKey) {
                return true;
            }
            if (ddwKey >= kListenerKey) {
                AcceptFrom(m_vecListeners[ddwKey - kListenerKey], ddwNowMs);
            } else {
                OnConnEvent(ddwKey, aEvents[i].events, ddwNowMs);
            }
        }
        RunTimers(ddwNowMs);
        if (!m_bAccepting && ddwNowMs >= m_ddwAcceptResumeMs) {
            SetAccepting(true);
        }
    }
}

int CRelaySim::WaitTimeoutMs(uint64_t ddwNowMs) const {
    uint64_t ddwUntil = UINT64_MAX;
    if (!m_oTimers.empty()) {
        ddwUntil = m_oTimers.top().first;
    }
    if (!m_bAccepting) {
        ddwUntil = std::min(ddwUntil, m_ddwAcceptResumeMs);
    }
    if (ddwUntil == UINT64_MAX) {
        return -1;
    }
    return (ddwUntil <= ddwNowMs)
               ? 0
               : static_cast<int>(std::min<uint64_t>(ddwUntil - ddwNowMs, 60000));
}

void CRelaySim::SetAccepting(bool bOn) {
    for (size_t i = 0; i < m_vecListeners.size(); ++i) {
        epoll_event oEvent = {};
        oEvent.events = EPOLLIN;
        oEvent.data.u64 = kListenerKey + i;
        epoll_ctl(m_iEpollFd, bOn ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_vecListeners[i].m_iFd,
                  &oEvent);
    }
    m_bAccepting = bOn;
}

void CRelaySim::AcceptFrom(const SListener& oListener, uint64_t ddwNowMs) {
    for (int i = 0; i < kAcceptBurst && m_bAccepting; ++i) {
        sockaddr_in oPeer = {};
        socklen_t nLen = sizeof(oPeer);
        const int iFd = accept4(oListener.m_iFd, reinterpret_cast<sockaddr*>(&oPeer), &nLen,
                                SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (iFd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                SetAccepting(false);
                m_ddwAcceptResumeMs = ddwNowMs + kAcceptPauseMs;
            }
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        const int iOn = 1;
        setsockopt(iFd, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn));
        sockaddr_in oLocal = {};
        nLen = sizeof(oLocal);
        getsockname(iFd, reinterpret_cast<sockaddr*>(&oLocal), &nLen);
        const uint64_t ddwSeq = ++m_ddwLastSeq;
        SConnSlot& oSlot = m_mapConns[ddwSeq];
        oSlot.m_pConn.reset(new CSimConn(iFd, oListener.m_eChannel, ddwSeq, AddressText(oLocal),
                                         AddressText(oPeer), m_oOpts, m_pOut));
        oSlot.m_dwEvents = 0;
        oSlot.m_ddwTimerAtMs = 0;
        Apply(ddwSeq, oSlot.m_pConn->Start(ddwNowMs));
    }
}

void CRelaySim::OnConnEvent(uint64_t ddwSeq, uint32_t dwEvents, uint64_t ddwNowMs) {
    const auto it = m_mapConns.find(ddwSeq);
    if (it == m_mapConns.end()) {
        return;
    }
    CSimConn& oConn = *it->second.m_pConn;
    const uint32_t dwWatched = it->second.m_dwEvents;
    const bool bFailed = (dwEvents & (EPOLLERR | EPOLLHUP)) != 0;
    if ((dwWatched & EPOLLIN) != 0 && ((dwEvents & EPOLLIN) != 0 || bFailed)) {
        Apply(ddwSeq, oConn.OnReadable(ddwNowMs));
    } else if ((dwWatched & EPOLLOUT) != 0 && ((dwEvents & EPOLLOUT) != 0 || bFailed)) {
        Apply(ddwSeq, oConn.OnWritable(ddwNowMs));
    }
}

void CRelaySim::RunTimers(uint64_t ddwNowMs) {
    while (!m_oTimers.empty() && m_oTimers.top().first <= ddwNowMs) {
        const TIMER oTimer = m_oTimers.top();
        m_oTimers.pop();
        const auto it = m_mapConns.find(oTimer.second);
        // Entries of ended connections and of deadlines since moved are stale.
        if (it != m_mapConns.end() && it->second.m_ddwTimerAtMs == oTimer.first) {
            Apply(oTimer.second, it->second.m_pConn->OnDeadline(ddwNowMs));
        }
    }
}

// Watches for what the connection waits for, and schedules its deadline.
void CRelaySim::Apply(uint64_t ddwSeq, CSimConn::WAIT eWait) {
    const auto it = m_mapConns.find(ddwSeq);
    if (eWait == CSimConn::CW_DONE) {
        m_mapConns.erase(it);  // closing the socket also takes it out of epoll
        return;
    }
    SConnSlot& oSlot = it->second;
    uint32_t dwWanted = 0;
    if (eWait == CSimConn::CW_READ) {
        dwWanted = EPOLLIN;
    } else if (eWait == CSimConn::CW_WRITE) {
        dwWanted = EPOLLOUT;
    }
    if (dwWanted != oSlot.m_dwEvents) {
        epoll_event oEvent = {};
        oEvent.events = dwWanted;
        oEvent.data.u64 = ddwSeq;
        const int iOp = (oSlot.m_dwEvents == 0) ? EPOLL_CTL_ADD
                        : (dwWanted == 0)       ? EPOLL_CTL_DEL
                                                : EPOLL_CTL_MOD;
        epoll_ctl(m_iEpollFd, iOp, oSlot.m_pConn->Fd(), &oEvent);
        oSlot.m_dwEvents = dwWanted;
    }
    const uint64_t ddwDeadline = oSlot.m_pConn->Deadline();
    if (ddwDeadline != oSlot.m_ddwTimerAtMs) {
        m_oTimers.push(TIMER(ddwDeadline, ddwSeq));
        oSlot.m_ddwTimerAtMs = ddwDeadline;
    }
}

}  // namespace relay_sim
