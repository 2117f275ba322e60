#include "relay_net/frame_server.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "dev_tools/utils.h"
#include "relay_net/net_addr.h"
#include "relay_net/socket_io.h"
#include "relay_proto/frame.h"

namespace relay_net {

namespace {

// How long a replied connection is kept open for the client to close first.
const uint64_t kDrainMs = 2000;

}  // namespace

struct CFrameServer::SConn {
    enum STATE { ST_READING, ST_WAITING, ST_WRITING, ST_DRAINING };

    SConn(const SAccepted& oAccepted, std::string sHostKey, uint32_t dwMaxFrame)
        : m_iFd(oAccepted.m_iFd),
          m_eChannel(oAccepted.m_eChannel),
          m_oPeer(oAccepted.m_oPeer),
          m_sHostKey(std::move(sHostKey)),
          m_oReader(dwMaxFrame) {}

    int m_iFd;
    relay_proto::CHANNEL m_eChannel;
    SPeer m_oPeer;
    std::string m_sHostKey;
    STATE m_eState = ST_READING;
    bool m_bDropping = false;  // not admitted: its frame is dropped as it arrives
    uint64_t m_ddwReserved = 0;
    relay_proto::CFrameReader m_oReader;
    std::string m_sOut;
    size_t m_nOutPos = 0;
    uint64_t m_ddwTimerId = 0;
};

const char* CloseReasonName(CLOSE_REASON eReason) {
    switch (eReason) {
        case CR_REPLIED:
            return "replied";
        case CR_CLOSED:
            return "closed";
        case CR_PEER_CLOSED:
            return "peer-closed";
        case CR_BAD_FRAME:
            return "bad-frame";
        case CR_READ_TIMEOUT:
            return "read-timeout";
        case CR_WRITE_TIMEOUT:
            return "write-timeout";
        case CR_IO_ERROR:
            return "io-error";
        case CR_SHUTDOWN:
            return "shutdown";
        case CR_OVER_BUDGET:
            return "over-budget";
        case CR_EVICTED:
            break;
    }
    return "evicted";
}

CFrameServer::CFrameServer(CEventLoop& oLoop, const SFrameServerConfig& oConfig,
                           IFrameHandler& oHandler)
    : m_oLoop(oLoop), m_oConfig(oConfig), m_oHandler(oHandler), m_oListeners(oLoop) {}

CFrameServer::~CFrameServer() {
    // The owner may be gone already: nothing is reported from here on.
    m_oListeners.SetLog(nullptr);
    m_oListeners.Close();
    std::string sErrMsg;
    for (const auto& oEntry : m_mapConns) {
        m_oLoop.Unwatch(oEntry.second->m_iFd, sErrMsg);
        m_oLoop.CancelTimer(oEntry.second->m_ddwTimerId);
        close(oEntry.second->m_iFd);
    }
}

bool CFrameServer::Listen(std::string& sErrMsg) {
    m_oListeners.SetLog([this](const std::string& sMsg) { Log(sMsg); });
    return m_oListeners.Listen(m_oConfig.m_vecListen, m_oConfig.m_nPortOffset, sErrMsg) &&
           m_oListeners.Start([this](SAccepted&& oAccepted) { OnAccepted(std::move(oAccepted)); },
                              sErrMsg);
}

void CFrameServer::OnAccepted(SAccepted&& oAccepted) {
    std::string sHostKey = HostKey(oAccepted.m_oPeer.m_oAddr);
    const auto itPeer = m_mapPeers.find(sHostKey);
    const size_t nPeerConns = (itPeer == m_mapPeers.end()) ? 0 : itPeer->second.m_nConns;
    const bool bPeerFull =
        m_oConfig.m_nMaxConnsPerPeer != 0 && nPeerConns >= m_oConfig.m_nMaxConnsPerPeer;
    if (bPeerFull || !MakeRoom(sHostKey)) {
        ++(bPeerFull ? m_ddwPeerRefused : m_ddwRefused);
        if (close(oAccepted.m_iFd) != 0) {
            Log(SysError("close", errno));
        }
        return;
    }
    const uint64_t ddwConnId = ++m_ddwLastConnId;
    std::string sErrMsg;
    if (!m_oLoop.Watch(
            oAccepted.m_iFd, EPOLLIN, [this, ddwConnId](uint32_t) { OnEvent(ddwConnId); },
            sErrMsg)) {
        Log("connection from " + oAccepted.m_oPeer.m_sText + ": " + sErrMsg);
        if (close(oAccepted.m_iFd) != 0) {
            Log(SysError("close", errno));
        }
        return;
    }
    std::unique_ptr<SConn> pConn(new SConn(oAccepted, std::move(sHostKey), m_oConfig.m_dwMaxFrame));
    if (!m_oHandler.Admit(oAccepted.m_oPeer)) {
        pConn->m_bDropping = true;
        pConn->m_oReader.KeepOnly(m_oConfig.m_nDroppedKeep);
    }
    ++m_mapPeers[pConn->m_sHostKey].m_nConns;
    SetDeadline(ddwConnId, *pConn, CEventLoop::NowMs() + m_oConfig.m_dwReadTimeoutMs);
    m_mapConns[ddwConnId] = std::move(pConn);
    m_oHandler.OnConnOpen(ddwConnId, oAccepted.m_eChannel, oAccepted.m_oPeer);
}

bool CFrameServer::MakeRoom(const std::string& sHostKey) {
    if (m_oConfig.m_nMaxConns == 0 || m_mapConns.size() < m_oConfig.m_nMaxConns) {
        return true;
    }
    // Another address gives way only while it still holds more than the newcomer's would.
    const auto itOwn = m_mapPeers.find(sHostKey);
    return Evict(false, (itOwn == m_mapPeers.end()) ? 0 : itOwn->second.m_nConns, 1);
}

bool CFrameServer::Evict(bool bBytes, uint64_t ddwOwn, uint64_t ddwMore) {
    const std::string* pMost = nullptr;
    uint64_t ddwMost = 0;
    for (const auto& oEntry : m_mapPeers) {
        const uint64_t ddwHeld = bBytes ? oEntry.second.m_ddwPending : oEntry.second.m_nConns;
        if (ddwHeld > ddwMost) {
            ddwMost = ddwHeld;
            pMost = &oEntry.first;
        }
    }
    if (pMost == nullptr || ddwMost <= ddwOwn + ddwMore) {
        return false;
    }
    uint64_t ddwOldest = 0;
    for (const auto& oEntry : m_mapConns) {
        const SConn& oConn = *oEntry.second;
        if (oConn.m_eState == SConn::ST_READING && oConn.m_sHostKey == *pMost &&
            (!bBytes || oConn.m_ddwReserved != 0) && (ddwOldest == 0 || oEntry.first < ddwOldest)) {
            ddwOldest = oEntry.first;
        }
    }
    if (ddwOldest == 0) {
        return false;
    }
    End(ddwOldest, CR_EVICTED, "room made for an address holding less");
    return true;
}

void CFrameServer::OnEvent(uint64_t ddwConnId) {
    const auto it = m_mapConns.find(ddwConnId);
    if (it == m_mapConns.end()) {
        return;
    }
    SConn& oConn = *it->second;
    switch (oConn.m_eState) {
        case SConn::ST_READING:
            return ReadRequest(ddwConnId, oConn);
        case SConn::ST_WRITING:
            return WriteReply(ddwConnId, oConn);
        case SConn::ST_DRAINING:
            return Drain(ddwConnId, oConn);
        case SConn::ST_WAITING:
            break;
    }
}

void CFrameServer::OnDeadline(uint64_t ddwConnId) {
    const auto it = m_mapConns.find(ddwConnId);
    if (it == m_mapConns.end()) {
        return;
    }
    SConn& oConn = *it->second;
    oConn.m_ddwTimerId = 0;
    switch (oConn.m_eState) {
        case SConn::ST_READING:
            return End(ddwConnId, CR_READ_TIMEOUT,
                       "no whole frame within " + to_str(m_oConfig.m_dwReadTimeoutMs) + " ms (" +
                           to_str(oConn.m_oReader.BytesRead()) + " bytes read)");
        case SConn::ST_WRITING:
            return End(ddwConnId, CR_WRITE_TIMEOUT,
                       "reply not taken within " + to_str(m_oConfig.m_dwWriteTimeoutMs) + " ms (" +
                           to_str(oConn.m_nOutPos) + " of " + to_str(oConn.m_sOut.size()) +
                           " bytes sent)");
        case SConn::ST_DRAINING:
            return End(ddwConnId, CR_REPLIED, "");
        case SConn::ST_WAITING:
            break;
    }
}

void CFrameServer::ReadRequest(uint64_t ddwConnId, SConn& oConn) {
    relay_proto::CFrameReader& oReader = oConn.m_oReader;
    relay_proto::CFrameReader::STATUS eFrame = relay_proto::CFrameReader::FR_MORE;
    SIoResult oResult;
    if (oReader.FrameSize() == 0) {
        // The head alone first: the length it announces is reserved before the body comes.
        oResult = ReadFrame(oConn.m_iFd, oReader,
                            relay_proto::FRAME_HEAD_SIZE - oReader.BytesRead(), eFrame);
        if (oResult.m_eStatus == IO_MORE && oReader.FrameSize() != 0) {
            if (!Reserve(ddwConnId, oConn)) {
                return;
            }
            oResult = ReadFrame(oConn.m_iFd, oReader, kReadBudget, eFrame);
        }
    } else {
        oResult = ReadFrame(oConn.m_iFd, oReader, kReadBudget, eFrame);
    }
    switch (oResult.m_eStatus) {
        case IO_MORE:
            return;
        case IO_EOF:
            return End(ddwConnId, CR_PEER_CLOSED,
                       "peer closed after " + to_str(oConn.m_oReader.BytesRead()) +
                           " bytes, before a whole frame");
        case IO_ERROR:
            return End(ddwConnId, CR_IO_ERROR, oResult.ErrorText());
        case IO_DONE:
            break;
    }
    if (eFrame != relay_proto::CFrameReader::FR_FRAME) {
        return End(ddwConnId, CR_BAD_FRAME, oConn.m_oReader.ErrMsg());
    }
    // Nothing is watched while the owner works: the next event is its Reply() or Close().
    oConn.m_eState = SConn::ST_WAITING;
    SetDeadline(ddwConnId, oConn, 0);
    if (!SetEvents(ddwConnId, oConn, 0)) {
        return;
    }
    // The owner may end the connection inside OnFrame(): pass copies, not oConn's parts.
    const relay_proto::CHANNEL eChannel = oConn.m_eChannel;
    const SPeer oPeer = oConn.m_oPeer;
    m_oHandler.OnFrame(ddwConnId, eChannel, oPeer, oConn.m_oReader.TakePayload());
}

bool CFrameServer::Reserve(uint64_t ddwConnId, SConn& oConn) {
    if (oConn.m_bDropping) {
        return true;
    }
    const uint64_t ddwSize = oConn.m_oReader.FrameSize();
    SPeerUse& oUse = m_mapPeers[oConn.m_sHostKey];
    while (m_oConfig.m_ddwMaxPending != 0 && m_ddwPending + ddwSize > m_oConfig.m_ddwMaxPending &&
           Evict(true, oUse.m_ddwPending, ddwSize)) {
    }
    if (m_oConfig.m_ddwMaxPending != 0 && m_ddwPending + ddwSize > m_oConfig.m_ddwMaxPending) {
        End(ddwConnId, CR_OVER_BUDGET,
            "a frame of " + to_str(ddwSize) + " bytes with " + to_str(m_ddwPending) + " of " +
                to_str(m_oConfig.m_ddwMaxPending) + " bytes held");
        return false;
    }
    oConn.m_ddwReserved = ddwSize;
    oUse.m_ddwPending += ddwSize;
    m_ddwPending += ddwSize;
    return true;
}

void CFrameServer::Release(SConn& oConn) {
    if (oConn.m_ddwReserved != 0) {
        m_mapPeers[oConn.m_sHostKey].m_ddwPending -= oConn.m_ddwReserved;
        m_ddwPending -= oConn.m_ddwReserved;
        oConn.m_ddwReserved = 0;
    }
}

void CFrameServer::Reply(uint64_t ddwConnId, const std::string& sPackage) {
    const auto it = m_mapConns.find(ddwConnId);
    if (it == m_mapConns.end() || it->second->m_eState != SConn::ST_WAITING) {
        return;
    }
    SConn& oConn = *it->second;
    Release(oConn);
    oConn.m_sOut = relay_proto::BuildFrame(sPackage);
    oConn.m_eState = SConn::ST_WRITING;
    SetDeadline(ddwConnId, oConn, CEventLoop::NowMs() + m_oConfig.m_dwWriteTimeoutMs);
    WriteReply(ddwConnId, oConn);
}

void CFrameServer::WriteReply(uint64_t ddwConnId, SConn& oConn) {
    const SIoResult oResult =
        SendSome(oConn.m_iFd, oConn.m_sOut.data(), oConn.m_sOut.size(), oConn.m_nOutPos);
    if (oResult.m_eStatus == IO_MORE) {
        SetEvents(ddwConnId, oConn, EPOLLOUT);
        return;
    }
    if (oResult.m_eStatus != IO_DONE) {
        return End(ddwConnId, CR_IO_ERROR, oResult.ErrorText());
    }
    // All sent: end our side, then let the client close first, so that nothing it still
    // sends can turn our close into a reset that destroys the reply.
    if (shutdown(oConn.m_iFd, SHUT_WR) != 0) {
        return End(ddwConnId, CR_IO_ERROR, SysError("shutdown", errno));
    }
    oConn.m_eState = SConn::ST_DRAINING;
    SetDeadline(ddwConnId, oConn,
                CEventLoop::NowMs() + std::min<uint64_t>(kDrainMs, m_oConfig.m_dwWriteTimeoutMs));
    if (SetEvents(ddwConnId, oConn, EPOLLIN)) {
        Drain(ddwConnId, oConn);
    }
}

void CFrameServer::Drain(uint64_t ddwConnId, SConn& oConn) {
    const SIoResult oResult = DiscardInput(oConn.m_iFd, kReadBudget);
    if (oResult.m_eStatus == IO_EOF) {
        End(ddwConnId, CR_REPLIED, "");
    } else if (oResult.m_eStatus == IO_ERROR) {
        End(ddwConnId, CR_REPLIED, oResult.ErrorText());
    }
}

void CFrameServer::Close(uint64_t ddwConnId) {
    if (m_mapConns.count(ddwConnId) != 0) {
        End(ddwConnId, CR_CLOSED, "");
    }
}

bool CFrameServer::SetEvents(uint64_t ddwConnId, SConn& oConn, uint32_t dwEvents) {
    std::string sErrMsg;
    if (!m_oLoop.Rewatch(oConn.m_iFd, dwEvents, sErrMsg)) {
        End(ddwConnId, CR_IO_ERROR, sErrMsg);
        return false;
    }
    return true;
}

void CFrameServer::SetDeadline(uint64_t ddwConnId, SConn& oConn, uint64_t ddwAtMs) {
    m_oLoop.CancelTimer(oConn.m_ddwTimerId);
    oConn.m_ddwTimerId = 0;
    if (ddwAtMs != 0) {
        oConn.m_ddwTimerId =
            m_oLoop.AddTimer(ddwAtMs, [this, ddwConnId] { OnDeadline(ddwConnId); });
    }
}

void CFrameServer::End(uint64_t ddwConnId, CLOSE_REASON eReason, const std::string& sDetail) {
    const auto it = m_mapConns.find(ddwConnId);
    const std::unique_ptr<SConn> pConn = std::move(it->second);
    m_mapConns.erase(it);
    Release(*pConn);
    const auto itPeer = m_mapPeers.find(pConn->m_sHostKey);
    if (--itPeer->second.m_nConns == 0) {
        m_mapPeers.erase(itPeer);
    }
    std::string sErrMsg;
    if (!m_oLoop.Unwatch(pConn->m_iFd, sErrMsg)) {
        Log("connection " + to_str(ddwConnId) + ": " + sErrMsg);
    }
    m_oLoop.CancelTimer(pConn->m_ddwTimerId);
    if (close(pConn->m_iFd) != 0) {
        Log(SysError("connection " + to_str(ddwConnId) + ": close", errno));
    }
    m_oHandler.OnConnClose(ddwConnId, eReason, sDetail);
    if (m_bStopping && m_mapConns.empty()) {
        m_oLoop.RequestStop();
    }
}

bool CFrameServer::Shutdown(uint64_t ddwGraceMs, std::string& sErrMsg) {
    m_oListeners.Close();
    bool bOk = true;
    if (!m_mapConns.empty()) {
        m_bStopping = true;
        const uint64_t ddwTimerId =
            m_oLoop.AddTimer(CEventLoop::NowMs() + ddwGraceMs, [this] { m_oLoop.RequestStop(); });
        bOk = m_oLoop.Run(sErrMsg);
        m_oLoop.CancelTimer(ddwTimerId);
        m_bStopping = false;
    }
    std::vector<uint64_t> vecLeft;
    for (const auto& oEntry : m_mapConns) {
        vecLeft.push_back(oEntry.first);
    }
    for (const uint64_t ddwConnId : vecLeft) {
        End(ddwConnId, CR_SHUTDOWN, "");
    }
    return bOk;
}

}  // namespace relay_net
