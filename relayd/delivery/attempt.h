// One delivery attempt's result as the senders report it, and how a peer's answer is
// classified into an outcome. Pure functions: no network, no clock.
#ifndef RELAYD_DELIVERY_ATTEMPT_H
#define RELAYD_DELIVERY_ATTEMPT_H

#include <cstdint>
#include <string>

#include "relayd/record/message.h"

namespace relayd {

struct SAttemptResult {
    OUTCOME m_eOutcome = OC_RETRY;
    std::string m_sDetail;          // the peer's own answer, or why there was none
    int64_t m_llRetryAfterMs = -1;  // the peer asked to wait this long (-1: it did not)
};

// SMTP: the transfer succeeded: delivered; otherwise the last reply code decides: 5xx
// failed, anything else (4xx, no reply at all, a connection that broke) retry.
OUTCOME ClassifySmtp(bool bTransferOk, long lReplyCode);

// HTTP: 2xx delivered; no status (no connection, timeout before an answer), 408, 429 and
// 5xx retry; every other status (other 4xx, 1xx, 3xx) failed.
OUTCOME ClassifyHttp(long lStatus);

// Text from a peer made fit for the record: valid UTF-8 only (malformed bytes become
// U+FFFD), control characters as spaces, surrounding spaces trimmed, at most nMaxBytes
// bytes (cut on a character boundary, "..." appended when cut).
std::string SafeDetail(const std::string& sText, size_t nMaxBytes = 300);

}  // namespace relayd

#endif  // RELAYD_DELIVERY_ATTEMPT_H
