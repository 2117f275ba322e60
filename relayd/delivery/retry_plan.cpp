#include "relayd/delivery/retry_plan.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>

#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

// Longest Retry-After honoured in delta-seconds form; beyond it the number is absurd
// (and would overflow milliseconds).
const int64_t kMaxRetryAfterSeconds = 400LL * 24 * 3600;

}  // namespace

int64_t BackoffMs(const SRetryPolicy& oPolicy, uint32_t dwAttempt, uint64_t ddwRandom) {
    int64_t llDelay = std::max<int64_t>(oPolicy.m_llInitialMs, 1);
    for (uint32_t i = 1; i < dwAttempt && llDelay < oPolicy.m_llMaxMs; ++i) {
        llDelay *= 2;
    }
    llDelay = std::min(llDelay, oPolicy.m_llMaxMs);
    const int64_t llHalf = llDelay / 2;
    const int64_t llPick =
        llHalf + static_cast<int64_t>(ddwRandom % static_cast<uint64_t>(llDelay - llHalf + 1));
    return std::max(oPolicy.m_llInitialMs, std::min(llPick, oPolicy.m_llMaxMs));
}

SNextStep PlanNextStep(const SRetryPolicy& oPolicy, int64_t llReceivedAtMs, uint32_t dwAttempt,
                       const SAttemptResult& oResult, int64_t llNowMs, uint64_t ddwRandom) {
    SNextStep oStep;
    if (oResult.m_eOutcome == OC_DELIVERED) {
        oStep.m_eStatus = MS_DELIVERED;
        return oStep;
    }
    if (oResult.m_eOutcome == OC_FAILED) {
        oStep.m_eStatus = MS_FAILED;
        return oStep;
    }
    const int64_t llEndMs = llReceivedAtMs + oPolicy.m_llMaxAgeMs;
    if (llNowMs >= llEndMs) {
        oStep.m_eStatus = MS_FAILED;
        oStep.m_sNote = "max_age reached";
        return oStep;
    }
    if (oResult.m_llRetryAfterMs >= 0) {
        oStep.m_llNextAttemptMs = llNowMs + oResult.m_llRetryAfterMs;
        if (oStep.m_llNextAttemptMs > llEndMs) {
            oStep.m_eStatus = MS_FAILED;
            oStep.m_sNote = "Retry-After reaches past max_age";
            return oStep;
        }
    } else {
        oStep.m_llNextAttemptMs =
            std::min(llNowMs + BackoffMs(oPolicy, dwAttempt, ddwRandom), llEndMs);
    }
    oStep.m_eStatus = MS_QUEUED;
    return oStep;
}

bool ParseRetryAfter(const std::string& sValue, int64_t llNowMs, int64_t& llDelayMs) {
    const std::string sText = TrimBlanks(sValue);
    if (sText.empty()) {
        return false;
    }
    if (std::all_of(sText.begin(), sText.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        int64_t llSeconds = 0;
        const std::from_chars_result oResult =
            std::from_chars(sText.data(), sText.data() + sText.size(), llSeconds);
        if (oResult.ec == std::errc::result_out_of_range || llSeconds > kMaxRetryAfterSeconds) {
            llSeconds = kMaxRetryAfterSeconds;
        }
        llDelayMs = llSeconds * 1000;
        return true;
    }
    // An HTTP date names a whole second in GMT; libcurl's parser knows the three formats
    // HTTP allows.
    const time_t tAt = curl_getdate(sText.c_str(), nullptr);
    if (tAt == static_cast<time_t>(-1)) {
        return false;
    }
    llDelayMs = std::max<int64_t>(0, static_cast<int64_t>(tAt) * 1000 - llNowMs);
    return true;
}

}  // namespace relayd
