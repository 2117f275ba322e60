#include "relayd/intake/intake_server.h"

#include <utility>

#include "relay_proto/channel.h"
#include "relay_proto/frame.h"
#include "relay_proto/package.h"
#include "relayd/config/network.h"
#include "relayd/record/log.h"

namespace relayd {

namespace {

relay_net::SFrameServerConfig FrameServerConfig(const SConfig& oConfig) {
    relay_net::SFrameServerConfig oNet;
    oNet.m_vecListen = oConfig.m_vecListen;
    oNet.m_nPortOffset = oConfig.m_iPortOffset;
    oNet.m_dwMaxFrame = oConfig.m_dwMaxPackage + relay_proto::FRAME_OVERHEAD;
    oNet.m_dwReadTimeoutMs = static_cast<uint32_t>(oConfig.m_llReadTimeoutMs);
    oNet.m_dwWriteTimeoutMs = static_cast<uint32_t>(oConfig.m_llReadTimeoutMs);
    oNet.m_nMaxConns = oConfig.m_dwMaxConnections;
    oNet.m_nMaxConnsPerPeer = oConfig.m_dwMaxConnectionsPerPeer;
    oNet.m_ddwMaxPending = oConfig.m_ddwMaxPendingBytes;
    oNet.m_nDroppedKeep = sizeof(MSG_PKG_HEAD);  // the timestamp the answer echoes
    return oNet;
}

}  // namespace

CIntakeServer::CIntakeServer(relay_net::CEventLoop& oLoop, const SConfig& oConfig,
                             CMetrics& oMetrics)
    : m_oLoop(oLoop),
      m_oMetrics(oMetrics),
      m_oConfig(oConfig),
      m_oServer(oLoop, FrameServerConfig(oConfig), *this) {}

bool CIntakeServer::Listen(std::string& sErrMsg) {
    return m_oServer.Listen(sErrMsg);
}

std::string CIntakeServer::ListenText() const {
    std::string sText = "listening on ";
    const std::vector<std::string>& vecAddrs = m_oServer.Addresses();
    for (size_t i = 0; i < vecAddrs.size(); ++i) {
        sText += (i == 0 ? "" : ", ") + vecAddrs[i];
    }
    return sText + " ports " +
           std::to_string(relay_proto::ChannelPort(relay_proto::CH_MAIL, m_oConfig.m_iPortOffset)) +
           "-" +
           std::to_string(relay_proto::ChannelPort(relay_proto::CH_SMS, m_oConfig.m_iPortOffset));
}

bool CIntakeServer::Admit(const relay_net::SPeer& oPeer) {
    return PeerAllowed(m_oConfig.m_vecAllow, reinterpret_cast<const sockaddr*>(&oPeer.m_oAddr));
}

void CIntakeServer::OnFrame(uint64_t ddwConnId, relay_proto::CHANNEL eChannel,
                            const relay_net::SPeer& oPeer, std::string&& sPayload) {
    SIntakeItem oItem;
    oItem.m_ddwConnId = ddwConnId;
    oItem.m_eChannel = eChannel;
    oItem.m_oPeer = oPeer.m_oAddr;
    oItem.m_sPeerText = oPeer.m_sText;
    oItem.m_sPayload = std::move(sPayload);
    oItem.m_ddwArrivedMs = relay_net::CEventLoop::NowMs();
    m_pIntake->Submit(std::move(oItem));
}

void CIntakeServer::Answer(const SIntakeVerdict& oVerdict) {
    if (!oVerdict.m_bReply) {
        m_oServer.Close(oVerdict.m_ddwConnId);
        return;
    }
    m_oServer.Reply(oVerdict.m_ddwConnId,
                    relay_proto::BuildReplyPackage(PKG_TYPE_RESPONSE, oVerdict.m_dwResult,
                                                   oVerdict.m_dwTimestamp));
    m_oMetrics.ObserveRequestSeconds(
        static_cast<double>(relay_net::CEventLoop::NowMs() - oVerdict.m_ddwArrivedMs) / 1000.0);
}

// The first verdict after the loop took the last ones posts the task that takes them all.
void CIntakeServer::PostAnswer(const SIntakeVerdict& oVerdict) {
    bool bFirst = false;
    {
        std::lock_guard<std::mutex> oLock(m_oPostedMutex);
        bFirst = m_vecPosted.empty();
        m_vecPosted.push_back(oVerdict);
    }
    if (bFirst) {
        m_oLoop.Post([this]() { AnswerPosted(); });
    }
}

void CIntakeServer::AnswerPosted() {
    {
        std::lock_guard<std::mutex> oLock(m_oPostedMutex);
        m_vecAnswering.swap(m_vecPosted);
    }
    for (const SIntakeVerdict& oVerdict : m_vecAnswering) {
        Answer(oVerdict);
    }
    m_vecAnswering.clear();
}

bool CIntakeServer::Shutdown(uint64_t ddwGraceMs, std::string& sErrMsg) {
    return m_oServer.Shutdown(ddwGraceMs, sErrMsg);
}

void CIntakeServer::OnConnOpen(uint64_t, relay_proto::CHANNEL, const relay_net::SPeer&) {
    m_oMetrics.AddConnections(1);
}

void CIntakeServer::OnConnClose(uint64_t, relay_net::CLOSE_REASON, const std::string&) {
    m_oMetrics.AddConnections(-1);
}

void CIntakeServer::OnLog(const std::string& sMsg) {
    LogLine(LL_ERROR, sMsg);
}

}  // namespace relayd
