#include "relay_proto/frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dev_tools/dt_frame.h"
#include "dev_tools/utils.h"
#include "relay_proto/package.h"

namespace relay_proto {

namespace {

// While a body arrives the buffer doubles, growing by at least this much.
const size_t kMinGrowth = 4096;
// What is dropped past the kept bytes passes through this much room at a time.
const size_t kDropRoom = 4096;

std::string ByteText(char c) {
    char szBuf[8];
    snprintf(szBuf, sizeof(szBuf), "0x%02x", static_cast<unsigned char>(c));
    return szBuf;
}

}  // namespace

std::string BuildFrame(const std::string& sPayload) {
    const uint32_t dwNetSize = htonl(static_cast<uint32_t>(sPayload.size() + FRAME_OVERHEAD));
    std::string sFrame;
    sFrame.reserve(sPayload.size() + FRAME_OVERHEAD);
    sFrame += dt::kStx;
    sFrame.append(reinterpret_cast<const char*>(&dwNetSize), sizeof(dwNetSize));
    sFrame += sPayload;
    sFrame += dt::kEtx;
    return sFrame;
}

std::string BuildReplyPackage(uint8_t cPkgType, uint32_t dwResult, uint32_t dwTimestamp) {
    MSG_PKG oPkg;
    oPkg.head().set_cmd(PKG_CMD);
    oPkg.head().set_pkg_type(cPkgType);
    oPkg.head().set_client_version(PKG_CLIENT_VERSION);
    oPkg.head().set_timestamp(dwTimestamp);
    oPkg.head().set_result(dwResult);
    return oPkg.str();
}

void CFrameReader::KeepOnly(size_t nPayload) {
    m_nKeep = nPayload;
}

size_t CFrameReader::KeepEnd() const {
    if (m_nKeep >= m_dwFrameSize) {
        return m_dwFrameSize;
    }
    return std::min<size_t>(m_dwFrameSize, FRAME_HEAD_SIZE + m_nKeep);
}

char* CFrameReader::Room(size_t& nRoom) {
    // The head alone until its length tells how much follows.
    const size_t nKeepEnd = (m_dwFrameSize == 0) ? static_cast<size_t>(FRAME_HEAD_SIZE) : KeepEnd();
    if (m_nHave >= nKeepEnd) {
        // Past the kept bytes: the same small room again and again.
        m_sBuf.resize(nKeepEnd + kDropRoom);
        m_nRoomAt = nKeepEnd;
        nRoom = std::min(kDropRoom, m_dwFrameSize - m_nHave);
        return &m_sBuf[m_nRoomAt];
    }
    if (m_sBuf.size() < nKeepEnd) {
        m_sBuf.resize(std::min(nKeepEnd, std::max(m_sBuf.size() * 2, m_nHave + kMinGrowth)));
    }
    m_nRoomAt = m_nHave;
    nRoom = std::min(m_sBuf.size(), nKeepEnd) - m_nHave;
    return &m_sBuf[m_nRoomAt];
}

CFrameReader::STATUS CFrameReader::Commit(size_t nBytes) {
    if (nBytes != 0) {
        m_cLast = m_sBuf[m_nRoomAt + nBytes - 1];
    }
    m_nHave += nBytes;
    if (m_dwFrameSize == 0) {
        return CheckHead();
    }
    return (m_nHave < m_dwFrameSize) ? FR_MORE : CheckEnd();
}

CFrameReader::STATUS CFrameReader::CheckHead() {
    if (m_nHave >= 1 && m_sBuf[0] != dt::kStx) {
        m_sErrMsg =
            "not a frame: first byte " + ByteText(m_sBuf[0]) + ", not STX " + ByteText(dt::kStx);
        return FR_NOT_FRAME;
    }
    if (m_nHave < FRAME_HEAD_SIZE) {
        return FR_MORE;
    }
    uint32_t dwNetSize = 0;
    memcpy(&dwNetSize, m_sBuf.data() + 1, sizeof(dwNetSize));
    const uint32_t dwSize = ntohl(dwNetSize);
    if (dwSize < FRAME_OVERHEAD) {
        m_sErrMsg = "not a frame: length " + to_str(dwSize) + " is below the " +
                    to_str(FRAME_OVERHEAD) + "-byte minimum";
        return FR_NOT_FRAME;
    }
    if (dwSize > m_dwMaxFrame) {
        m_sErrMsg = "frame length " + to_str(dwSize) + " exceeds the limit of " +
                    to_str(m_dwMaxFrame) + " bytes";
        return FR_NOT_FRAME;
    }
    m_dwFrameSize = dwSize;
    return FR_MORE;
}

CFrameReader::STATUS CFrameReader::CheckEnd() {
    if (m_cLast != dt::kEtx) {
        m_sErrMsg = "bad frame: last byte " + ByteText(m_cLast) + ", not ETX " + ByteText(dt::kEtx);
        return FR_BAD_END;
    }
    return FR_FRAME;
}

std::string CFrameReader::TakePayload() {
    m_sBuf.resize(std::min<size_t>(m_dwFrameSize - 1, KeepEnd()));
    m_sBuf.erase(0, FRAME_HEAD_SIZE);
    return std::move(m_sBuf);
}

}  // namespace relay_proto
