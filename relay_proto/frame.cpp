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

char* CFrameReader::Room(size_t& nRoom) {
    // The head alone until its length tells how much follows.
    const size_t nWant =
        (m_dwFrameSize == 0) ? static_cast<size_t>(FRAME_HEAD_SIZE) : m_dwFrameSize;
    if (m_sBuf.size() < nWant) {
        m_sBuf.resize(std::min(nWant, std::max(m_sBuf.size() * 2, m_nHave + kMinGrowth)));
    }
    nRoom = m_sBuf.size() - m_nHave;
    return &m_sBuf[m_nHave];
}

CFrameReader::STATUS CFrameReader::Commit(size_t nBytes) {
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
    const char cLast = m_sBuf[m_dwFrameSize - 1];
    if (cLast != dt::kEtx) {
        m_sErrMsg = "bad frame: last byte " + ByteText(cLast) + ", not ETX " + ByteText(dt::kEtx);
        return FR_BAD_END;
    }
    return FR_FRAME;
}

std::string CFrameReader::TakePayload() {
    m_sBuf.resize(m_dwFrameSize - 1);
    m_sBuf.erase(0, FRAME_HEAD_SIZE);
    return std::move(m_sBuf);
}

}  // namespace relay_proto
