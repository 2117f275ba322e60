// What follows an attempt: the message's next status and, for a retry, when the next
// attempt is due. Exponential back-off with jitter between retry_initial and retry_max,
// a peer's Retry-After honoured, max_age ending the retries. Pure functions: the clock
// and the randomness come in as arguments.
#ifndef RELAYD_DELIVERY_RETRY_PLAN_H
#define RELAYD_DELIVERY_RETRY_PLAN_H

#include <cstdint>
#include <string>

#include "relayd/delivery/attempt.h"
#include "relayd/record/message.h"

namespace relayd {

struct SRetryPolicy {
    int64_t m_llInitialMs = 1000;
    int64_t m_llMaxMs = 3600 * 1000;
    int64_t m_llMaxAgeMs = 24LL * 3600 * 1000;
};

struct SNextStep {
    STATUS m_eStatus = MS_QUEUED;   // MS_QUEUED, MS_DELIVERED or MS_FAILED
    int64_t m_llNextAttemptMs = 0;  // for MS_QUEUED
    std::string m_sNote;            // why a retry became a failure, empty otherwise
};

// The back-off before attempt number dwAttempt + 1, after dwAttempt attempts (1 or more):
// d = min(max, initial * 2^(dwAttempt - 1)), then a uniform pick in [d/2, d] from
// ddwRandom, never below initial nor above max.
int64_t BackoffMs(const SRetryPolicy& oPolicy, uint32_t dwAttempt, uint64_t ddwRandom);

// The step after attempt number dwAttempt (1 for the first) of a message received at
// llReceivedAtMs, ending at llNowMs with oResult. A retry is due after the back-off, or
// after the peer's Retry-After when it gave one; a back-off that would pass the message's
// max_age is cut to end there (one last attempt), a Retry-After that would, or an attempt
// at or past max_age, fails the message.
SNextStep PlanNextStep(const SRetryPolicy& oPolicy, int64_t llReceivedAtMs, uint32_t dwAttempt,
                       const SAttemptResult& oResult, int64_t llNowMs, uint64_t ddwRandom);

// A Retry-After header value as a delay from llNowMs: delta-seconds ("120") or an HTTP
// date ("Wed, 21 Oct 2026 07:28:00 GMT"). A date in the past is a delay of 0. False when
// the value is neither.
bool ParseRetryAfter(const std::string& sValue, int64_t llNowMs, int64_t& llDelayMs);

}  // namespace relayd

#endif  // RELAYD_DELIVERY_RETRY_PLAN_H
