#include "relay_sim/sim_conn.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "dev_tools/utils.h"
#include "relay_net/net_addr.h"
#include "relay_net/socket_io.h"
#include "relay_proto/package.h"
#include "relay_proto/request.h"
#include "relay_sim/sim_save.h"

namespace relay_sim {

namespace {

// How long a replied connection is kept open for the client to close first.
const uint64_t kDrainMs = 2000;

const char* ActionName(SIM_ACTION eAction) {
    switch (eAction) {
        case SA_CLOSE:
            return "close";
        case SA_RESET:
            return "reset";
        case SA_NO_READ:
            return "no-read";
        case SA_RAW:
            return "raw";
        case SA_REPLY:
            break;
    }
    return "reply";
}

}  // namespace

CSimConn::CSimConn(int iFd, relay_proto::CHANNEL eChannel, uint64_t ddwSeq,
                   const std::string& sLocal, const std::string& sPeer, const SSimOptions& oOpts,
                   FILE* pOut)
    : m_iFd(iFd),
      m_eChannel(eChannel),
      m_ddwSeq(ddwSeq),
      m_sLocal(sLocal),
      m_sPeer(sPeer),
      m_oOpts(oOpts),
      m_pOut(pOut),
      m_oReader(oOpts.m_dwMaxFrame) {}

CSimConn::~CSimConn() {
    if (close(m_iFd) != 0) {
        fprintf(stderr, "fanout_relay_sim: connection %llu: %s\n",
                static_cast<unsigned long long>(m_ddwSeq), strerror(errno));
    }
}

CSimConn::WAIT CSimConn::Start(uint64_t ddwNowMs) {
    m_ddwStartMs = ddwNowMs;
    m_ddwDeadlineMs = ddwNowMs + m_oOpts.m_dwTimeoutMs;
    if (m_oOpts.m_eAction == SA_NO_READ) {
        JSON_OBJ oLine = NewLine();
        AddAction(oLine);
        Emit(oLine);
        m_eState = ST_NO_READ;
        return CW_TIMER;
    }
    return CW_READ;
}

CSimConn::WAIT CSimConn::OnReadable(uint64_t ddwNowMs) {
    if (m_eState == ST_READING) {
        return ReadRequest(ddwNowMs);
    }
    return (m_eState == ST_DRAINING) ? Drain() : CW_TIMER;
}

CSimConn::WAIT CSimConn::OnWritable(uint64_t ddwNowMs) {
    return (m_eState == ST_WRITING) ? WriteReply(ddwNowMs) : CW_TIMER;
}

CSimConn::WAIT CSimConn::OnDeadline(uint64_t ddwNowMs) {
    switch (m_eState) {
        case ST_READING:
            return Fail("read timed out after " + to_str(ddwNowMs - m_ddwStartMs) + " ms with " +
                        to_str(m_oReader.BytesRead()) + " bytes read");
        case ST_DELAY:
            return Act(ddwNowMs);
        case ST_CHUNK_PAUSE:
            m_eState = ST_WRITING;
            m_ddwDeadlineMs = ddwNowMs + m_oOpts.m_dwTimeoutMs;
            return WriteReply(ddwNowMs);
        case ST_WRITING:
            return Fail("reply not taken within " + to_str(m_oOpts.m_dwTimeoutMs) + " ms");
        case ST_NO_READ:
        case ST_DRAINING:
            break;
    }
    return CW_DONE;
}

CSimConn::WAIT CSimConn::ReadRequest(uint64_t ddwNowMs) {
    // A reset follows the first bytes: a budget of one byte stops after the first read.
    const size_t nBudget = (m_oOpts.m_eAction == SA_RESET) ? 1 : relay_net::kReadBudget;
    relay_proto::CFrameReader::STATUS eFrame = relay_proto::CFrameReader::FR_MORE;
    const relay_net::SIoResult oResult = relay_net::ReadFrame(m_iFd, m_oReader, nBudget, eFrame);
    switch (oResult.m_eStatus) {
        case relay_net::IO_DONE:
            return OnFrameDone(eFrame, ddwNowMs);
        case relay_net::IO_MORE:
            if (m_oOpts.m_eAction == SA_RESET && m_oReader.BytesRead() > 0) {
                return OnFrameDone(eFrame, ddwNowMs);
            }
            return CW_READ;
        case relay_net::IO_EOF:
            return Fail("peer closed after " + to_str(m_oReader.BytesRead()) +
                        " bytes, before a whole frame");
        case relay_net::IO_ERROR:
            break;
    }
    return Fail(std::string("recv failed: ") + strerror(oResult.m_iErrno));
}

// Reports what was read as one line and decides the result code of a reply.
CSimConn::WAIT CSimConn::OnFrameDone(relay_proto::CFrameReader::STATUS eStatus, uint64_t ddwNowMs) {
    JSON_OBJ oLine = NewLine();
    if (m_oOpts.m_eAction == SA_RESET) {
        oLine["bytes_read"] = m_oReader.BytesRead();
    } else if (eStatus == relay_proto::CFrameReader::FR_NOT_FRAME) {
        return Fail(m_oReader.ErrMsg());
    } else if (eStatus == relay_proto::CFrameReader::FR_BAD_END) {
        oLine["error"] = m_oReader.ErrMsg();
        m_dwReplyResult = RES_BAD_PACKAGE;
    } else {
        DescribeRequest(oLine);
    }
    AddAction(oLine);
    Emit(oLine);
    return AfterRequest(ddwNowMs);
}

// Decodes the frame's package into oLine and saves its files.
void CSimConn::DescribeRequest(JSON_OBJ& oLine) {
    relay_proto::SRequest oReq;
    std::string sErrMsg;
    if (!relay_proto::DecodeRequest(m_eChannel, m_oReader.TakePayload(), oReq, sErrMsg)) {
        oLine["error"] = sErrMsg;
        m_dwReplyResult = RES_BAD_PACKAGE;
        return;
    }
    AddRequestFields(oReq, oLine);
    m_dwReplyResult = m_oOpts.ResultFor(m_eChannel);
    std::string sSavedDir;
    if (!m_oOpts.m_sSaveDir.empty() &&
        !SaveRequest(m_oOpts.m_sSaveDir, m_ddwSeq, oReq, sSavedDir, sErrMsg)) {
        oLine["save_error"] = sErrMsg;
    }
    if (!sSavedDir.empty()) {
        AddText(oLine, "saved", sSavedDir);
    }
}

CSimConn::WAIT CSimConn::AfterRequest(uint64_t ddwNowMs) {
    if (m_oOpts.m_dwDelayMs == 0) {
        return Act(ddwNowMs);
    }
    m_eState = ST_DELAY;
    m_ddwDeadlineMs = ddwNowMs + m_oOpts.m_dwDelayMs;
    return CW_TIMER;
}

CSimConn::WAIT CSimConn::Act(uint64_t ddwNowMs) {
    switch (m_oOpts.m_eAction) {
        case SA_REPLY:
            return StartWriting(
                relay_proto::BuildFrame(relay_proto::BuildReplyPackage(
                    m_oOpts.m_cReplyType, m_dwReplyResult, static_cast<uint32_t>(time(nullptr)))),
                ddwNowMs);
        case SA_RAW:
            return StartWriting(m_oOpts.m_sRawReply, ddwNowMs);
        case SA_RESET: {
            // Closing with a zero linger time sends RST instead of FIN.
            const linger oLinger = {1, 0};
            if (setsockopt(m_iFd, SOL_SOCKET, SO_LINGER, &oLinger, sizeof(oLinger)) != 0) {
                return Fail(relay_net::SysError("setsockopt SO_LINGER", errno));
            }
            break;
        }
        case SA_CLOSE:
        case SA_NO_READ:
            break;
    }
    return CW_DONE;
}

CSimConn::WAIT CSimConn::StartWriting(std::string sOut, uint64_t ddwNowMs) {
    m_sOut = std::move(sOut);
    m_nOutPos = 0;
    m_nChunkLeft = (m_oOpts.m_dwChunk == 0) ? m_sOut.size() : m_oOpts.m_dwChunk;
    m_eState = ST_WRITING;
    m_ddwDeadlineMs = ddwNowMs + m_oOpts.m_dwTimeoutMs;
    return WriteReply(ddwNowMs);
}

CSimConn::WAIT CSimConn::WriteReply(uint64_t ddwNowMs) {
    while (m_nOutPos < m_sOut.size()) {
        const size_t nBefore = m_nOutPos;
        const size_t nEnd = m_nOutPos + std::min(m_nChunkLeft, m_sOut.size() - m_nOutPos);
        const relay_net::SIoResult oResult =
            relay_net::SendSome(m_iFd, m_sOut.data(), nEnd, m_nOutPos);
        m_nChunkLeft -= m_nOutPos - nBefore;
        if (oResult.m_eStatus == relay_net::IO_MORE) {
            return CW_WRITE;
        }
        if (oResult.m_eStatus == relay_net::IO_ERROR) {
            return Fail(std::string("reply not delivered: ") + strerror(oResult.m_iErrno));
        }
        if (m_nChunkLeft == 0 && m_nOutPos < m_sOut.size()) {
            m_nChunkLeft = m_oOpts.m_dwChunk;
            if (m_oOpts.m_dwChunkDelayMs > 0) {
                m_eState = ST_CHUNK_PAUSE;
                m_ddwDeadlineMs = ddwNowMs + m_oOpts.m_dwChunkDelayMs;
                return CW_TIMER;
            }
        }
    }
    // All sent: end our side, then let the client close first so that nothing it
    // still sends can turn our close into a reset that destroys the reply. When the
    // client is gone already (it reset), there is nothing left to wait for.
    if (shutdown(m_iFd, SHUT_WR) != 0) {
        return CW_DONE;
    }
    m_eState = ST_DRAINING;
    m_ddwDeadlineMs = ddwNowMs + std::min<uint64_t>(kDrainMs, m_oOpts.m_dwTimeoutMs);
    return Drain();
}

CSimConn::WAIT CSimConn::Drain() {
    const relay_net::SIoResult oResult = relay_net::DiscardInput(m_iFd, relay_net::kReadBudget);
    return (oResult.m_eStatus == relay_net::IO_MORE) ? CW_READ : CW_DONE;
}

// Ends the connection with an error line and no reply.
CSimConn::WAIT CSimConn::Fail(const std::string& sError) {
    JSON_OBJ oLine = NewLine();
    oLine["error"] = sError;
    if (m_eState == ST_READING) {
        oLine["action"] = "close";
    }
    Emit(oLine);
    return CW_DONE;
}

JSON_OBJ CSimConn::NewLine() const {
    JSON_OBJ oLine = JSON_OBJ::object();
    oLine["seq"] = m_ddwSeq;
    oLine["channel"] = relay_proto::ChannelName(m_eChannel);
    oLine["local"] = m_sLocal;
    oLine["peer"] = m_sPeer;
    return oLine;
}

void CSimConn::AddAction(JSON_OBJ& oLine) const {
    oLine["action"] = ActionName(m_oOpts.m_eAction);
    if (m_oOpts.m_eAction == SA_REPLY) {
        oLine["reply_result"] = m_dwReplyResult;
    }
}

void CSimConn::Emit(const JSON_OBJ& oLine) {
    const std::string sLine = JsonLine(oLine);
    fwrite(sLine.data(), 1, sLine.size(), m_pOut);
    fflush(m_pOut);
}

}  // namespace relay_sim
