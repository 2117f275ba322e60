#include "sim_conn.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "dev_tools/utils.h"
#include "relay_proto/request.h"
#include "sim_save.h"

namespace relay_sim {

namespace {

// Bytes read in one go before other connections get their turn.
const size_t kReadBudget = 1 << 20;
// The relay's result code for a package it cannot take apart.
const uint32_t kResultBadPackage = 4;
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
    close(m_iFd);
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
    for (size_t nTotal = 0; nTotal < kReadBudget;) {
        size_t nRoom = 0;
        char* pRoom = m_oReader.Room(nRoom);
        const ssize_t n = recv(m_iFd, pRoom, nRoom, 0);
        if (n > 0) {
            nTotal += static_cast<size_t>(n);
            const relay_proto::CFrameReader::STATUS eStatus =
                m_oReader.Commit(static_cast<size_t>(n));
            if (m_oOpts.m_eAction == SA_RESET || eStatus != relay_proto::CFrameReader::FR_MORE) {
                return OnFrameDone(eStatus, ddwNowMs);
            }
        } else if (n == 0) {
            return Fail("peer closed after " + to_str(m_oReader.BytesRead()) +
                        " bytes, before a whole frame");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return CW_READ;
        } else if (errno != EINTR) {
            return Fail(std::string("recv failed: ") + strerror(errno));
        }
    }
    return CW_READ;
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
        m_dwReplyResult = kResultBadPackage;
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
        m_dwReplyResult = kResultBadPackage;
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
            setsockopt(m_iFd, SOL_SOCKET, SO_LINGER, &oLinger, sizeof(oLinger));
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
        const size_t nWant = std::min(m_nChunkLeft, m_sOut.size() - m_nOutPos);
        const ssize_t n = send(m_iFd, m_sOut.data() + m_nOutPos, nWant, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return CW_WRITE;
            }
            if (errno != EINTR) {
                return Fail(std::string("reply not delivered: ") + strerror(errno));
            }
            continue;
        }
        m_nOutPos += static_cast<size_t>(n);
        m_nChunkLeft -= static_cast<size_t>(n);
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
    // still sends can turn our close into a reset that destroys the reply.
    shutdown(m_iFd, SHUT_WR);
    m_eState = ST_DRAINING;
    m_ddwDeadlineMs = ddwNowMs + std::min<uint64_t>(kDrainMs, m_oOpts.m_dwTimeoutMs);
    return Drain();
}

CSimConn::WAIT CSimConn::Drain() {
    char szBuf[16384];
    for (size_t nTotal = 0; nTotal < kReadBudget;) {
        const ssize_t n = recv(m_iFd, szBuf, sizeof(szBuf), 0);
        if (n > 0) {
            nTotal += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return CW_READ;
        } else if (n == 0 || errno != EINTR) {
            return CW_DONE;
        }
    }
    return CW_READ;
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
