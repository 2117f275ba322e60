#include "relay_sim/sim_server.h"

#include <sys/epoll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "dev_tools/utils.h"
#include "relay_net/net_addr.h"

namespace relay_sim {

namespace {

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

uint32_t EventsFor(CSimConn::WAIT eWait) {
    switch (eWait) {
        case CSimConn::CW_READ:
            return EPOLLIN;
        case CSimConn::CW_WRITE:
            return EPOLLOUT;
        case CSimConn::CW_TIMER:
        case CSimConn::CW_DONE:
            break;
    }
    return 0;
}

}  // namespace

CRelaySim::CRelaySim(const SSimOptions& oOpts, FILE* pOut)
    : m_oOpts(oOpts), m_pOut(pOut), m_oListeners(m_oLoop) {}

CRelaySim::~CRelaySim() {
    while (!m_mapConns.empty()) {
        Remove(m_mapConns.begin()->first);
    }
}

bool CRelaySim::Listen(std::string& sErrMsg) {
    if (!m_oLoop.Init(sErrMsg)) {
        sErrMsg = "cannot set up the event loop: " + sErrMsg;
        return false;
    }
    if (!m_oOpts.m_sSaveDir.empty() && !PrepareSaveDir(m_oOpts.m_sSaveDir, sErrMsg)) {
        return false;
    }
    return m_oListeners.Listen(m_oOpts.m_vecListen, m_oOpts.m_nPortOffset, sErrMsg) &&
           m_oListeners.Start(
               [this](relay_net::SAccepted&& oAccepted) { OnAccepted(std::move(oAccepted)); },
               sErrMsg);
}

std::string CRelaySim::ReadyLine() const {
    const std::vector<std::string>& vecAddrs = m_oListeners.Addresses();
    std::string sLine = "fanout_relay_sim: listening on ";
    for (size_t i = 0; i < vecAddrs.size(); ++i) {
        sLine += (i == 0 ? "" : ", ") + vecAddrs[i];
    }
    return sLine + " ports " +
           to_str(relay_proto::ChannelPort(relay_proto::CH_MAIL, m_oOpts.m_nPortOffset)) + "-" +
           to_str(relay_proto::ChannelPort(relay_proto::CH_SMS, m_oOpts.m_nPortOffset));
}

void CRelaySim::OnAccepted(relay_net::SAccepted&& oAccepted) {
    const uint64_t ddwSeq = ++m_ddwLastSeq;
    SConnSlot& oSlot = m_mapConns[ddwSeq];
    oSlot.m_pConn.reset(new CSimConn(oAccepted.m_iFd, oAccepted.m_eChannel, ddwSeq,
                                     relay_net::LocalAddressText(oAccepted.m_iFd),
                                     oAccepted.m_oPeer.m_sText, m_oOpts, m_pOut));
    std::string sErrMsg;
    if (!m_oLoop.Watch(
            oAccepted.m_iFd, 0, [this, ddwSeq](uint32_t) { OnConnEvent(ddwSeq); }, sErrMsg)) {
        return Apply(ddwSeq, oSlot.m_pConn->Abort(sErrMsg));
    }
    Apply(ddwSeq, oSlot.m_pConn->Start(relay_net::CEventLoop::NowMs()));
}

void CRelaySim::OnConnEvent(uint64_t ddwSeq) {
    const auto it = m_mapConns.find(ddwSeq);
    if (it == m_mapConns.end()) {
        return;
    }
    CSimConn& oConn = *it->second.m_pConn;
    const uint64_t ddwNowMs = relay_net::CEventLoop::NowMs();
    if ((it->second.m_dwEvents & EPOLLIN) != 0) {
        Apply(ddwSeq, oConn.OnReadable(ddwNowMs));
    } else if ((it->second.m_dwEvents & EPOLLOUT) != 0) {
        Apply(ddwSeq, oConn.OnWritable(ddwNowMs));
    }
}

void CRelaySim::OnDeadline(uint64_t ddwSeq) {
    const auto it = m_mapConns.find(ddwSeq);
    if (it != m_mapConns.end()) {
        it->second.m_ddwTimerId = 0;
        it->second.m_ddwTimerAtMs = 0;
        Apply(ddwSeq, it->second.m_pConn->OnDeadline(relay_net::CEventLoop::NowMs()));
    }
}

// Watches for what the connection waits for, and schedules its deadline.
void CRelaySim::Apply(uint64_t ddwSeq, CSimConn::WAIT eWait) {
    if (eWait == CSimConn::CW_DONE) {
        return Remove(ddwSeq);
    }
    SConnSlot& oSlot = m_mapConns[ddwSeq];
    const uint32_t dwWanted = EventsFor(eWait);
    std::string sErrMsg;
    if (dwWanted != oSlot.m_dwEvents) {
        if (!m_oLoop.Rewatch(oSlot.m_pConn->Fd(), dwWanted, sErrMsg)) {
            return Apply(ddwSeq, oSlot.m_pConn->Abort(sErrMsg));
        }
        oSlot.m_dwEvents = dwWanted;
    }
    const uint64_t ddwDeadline = oSlot.m_pConn->Deadline();
    if (ddwDeadline != oSlot.m_ddwTimerAtMs) {
        m_oLoop.CancelTimer(oSlot.m_ddwTimerId);
        oSlot.m_ddwTimerId = m_oLoop.AddTimer(ddwDeadline, [this, ddwSeq] { OnDeadline(ddwSeq); });
        oSlot.m_ddwTimerAtMs = ddwDeadline;
    }
}

// Forgets the connection; its socket closes with it.
void CRelaySim::Remove(uint64_t ddwSeq) {
    const auto it = m_mapConns.find(ddwSeq);
    std::string sErrMsg;
    if (!m_oLoop.Unwatch(it->second.m_pConn->Fd(), sErrMsg)) {
        fprintf(stderr, "fanout_relay_sim: connection %llu: %s\n",
                static_cast<unsigned long long>(ddwSeq), sErrMsg.c_str());
    }
    m_oLoop.CancelTimer(it->second.m_ddwTimerId);
    m_mapConns.erase(it);
}

}  // namespace relay_sim
