#include "relayd/intake/refusal_log.h"

namespace relayd {

bool CRefusalLog::Room(int64_t llNowMs) {
    if (!m_bStarted || llNowMs - m_llSecondStartMs >= 1000) {
        m_bStarted = true;
        m_llSecondStartMs = llNowMs;
        m_dwWritten = 0;
    }
    if (m_dwWritten >= kRefusalLinesPerSecond) {
        return false;
    }
    ++m_dwWritten;
    return true;
}

void CRefusalLog::Refused(int64_t llNowMs, const std::string& sPeer, relay_proto::CHANNEL eChannel,
                          uint32_t dwResult, const std::string& sWhy) {
    if (m_ddwLeftOut != 0 && Room(llNowMs)) {
        m_fnWrite(std::to_string(m_ddwLeftOut) + " refusal lines left out");
        m_ddwLeftOut = 0;
    }
    if (!Room(llNowMs)) {
        ++m_ddwLeftOut;
        return;
    }
    m_fnWrite("refused " + sPeer + " " + relay_proto::ChannelName(eChannel) + " result " +
              std::to_string(dwResult) + ": " + sWhy);
}

}  // namespace relayd
