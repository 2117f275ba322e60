// One log line for every request answered 1, 2, 4 or 5, at most kRefusalLinesPerSecond a
// second so that a peer sending refused requests in a loop cannot flood the log:
//
//   refused 10.0.0.7:53422 sms result 2: receivers 'a b' hold a byte not allowed
//
// Lines past the rate are counted and left out; the first line of the next second that
// has room says how many were.
//
//   14 refusal lines left out
#ifndef RELAYD_INTAKE_REFUSAL_LOG_H
#define RELAYD_INTAKE_REFUSAL_LOG_H

#include <cstdint>
#include <functional>
#include <string>

#include "relay_proto/channel.h"

namespace relayd {

const uint32_t kRefusalLinesPerSecond = 10;

class CRefusalLog {
public:
    typedef std::function<void(const std::string& sLine)> WRITE_FN;

    explicit CRefusalLog(WRITE_FN fnWrite) : m_fnWrite(std::move(fnWrite)) {}

    // Logs one refusal at llNowMs (a monotonic clock), or counts it when the second's
    // lines are spent.
    void Refused(int64_t llNowMs, const std::string& sPeer, relay_proto::CHANNEL eChannel,
                 uint32_t dwResult, const std::string& sWhy);

private:
    // True when a line may be written at llNowMs.
    bool Room(int64_t llNowMs);

    WRITE_FN m_fnWrite;
    int64_t m_llSecondStartMs = 0;
    uint32_t m_dwWritten = 0;  // lines this second
    uint64_t m_ddwLeftOut = 0;
    bool m_bStarted = false;
};

}  // namespace relayd

#endif  // RELAYD_INTAKE_REFUSAL_LOG_H
