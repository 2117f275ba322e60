#include "relayd/record/metrics.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace relayd {

namespace {

// Upper bounds in seconds: a reply goes out in well under a millisecond when the commit is
// shared, and takes up to the sync timeout with [delivery] sync.
const char* const kBucketLabels[] = {"0.0005", "0.001", "0.0025", "0.005", "0.01", "0.025",
                                     "0.05",   "0.1",   "0.25",   "0.5",   "1",    "2.5"};

void AppendHeader(std::string& sOut, const char* szName, const char* szType, const char* szHelp) {
    sOut += std::string("# HELP ") + szName + " " + szHelp + "\n";
    sOut += std::string("# TYPE ") + szName + " " + szType + "\n";
}

void AppendSample(std::string& sOut, const std::string& sNameAndLabels, uint64_t ddwValue) {
    char szValue[32];
    snprintf(szValue, sizeof(szValue), " %" PRIu64 "\n", ddwValue);
    sOut += sNameAndLabels + szValue;
}

std::string ChannelLabel(size_t nChannel) {
    return std::string("channel=\"") +
           relay_proto::ChannelName(static_cast<relay_proto::CHANNEL>(nChannel)) + "\"";
}

}  // namespace

// static
const double CMetrics::kBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                     0.05,   0.1,   0.25,   0.5,   1,    2.5};
static_assert(sizeof(kBucketLabels) / sizeof(kBucketLabels[0]) == 12, "one label per bucket");

void CMetrics::CountRequest(relay_proto::CHANNEL eChannel, uint32_t dwResult) {
    if (dwResult < RESULT_COUNT) {
        m_aRequests[eChannel][dwResult].fetch_add(1, std::memory_order_relaxed);
    }
}

void CMetrics::CountDuplicate(relay_proto::CHANNEL eChannel) {
    m_aDuplicates[eChannel].fetch_add(1, std::memory_order_relaxed);
}

void CMetrics::CountDelivery(relay_proto::CHANNEL eChannel, OUTCOME eOutcome) {
    m_aDeliveries[eChannel][eOutcome].fetch_add(1, std::memory_order_relaxed);
}

void CMetrics::ObserveRequestSeconds(double dSeconds) {
    if (!(dSeconds >= 0)) {  // also NaN
        dSeconds = 0;
    }
    for (size_t i = 0; i < kBucketCount; ++i) {
        if (dSeconds <= kBuckets[i]) {
            m_aDurationBuckets[i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    // Past the last bound the observation shows only in +Inf, which is the count.
    m_ddwDurationCount.fetch_add(1, std::memory_order_relaxed);
    const double dMicros = std::min(std::round(dSeconds * 1e6), 1e15);
    m_ddwDurationSumMicros.fetch_add(static_cast<uint64_t>(dMicros), std::memory_order_relaxed);
}

void CMetrics::AddConnections(int64_t llDelta) {
    m_llConnections.fetch_add(llDelta, std::memory_order_relaxed);
}

std::string CMetrics::Render(const std::vector<uint64_t>& vecQueueDepths) const {
    std::string sOut;
    AppendHeader(sOut, "fanout_relay_requests_total", "counter",
                 "Requests answered, by channel and result code.");
    for (size_t c = 0; c < relay_proto::CHANNEL_COUNT; ++c) {
        for (size_t r = 0; r < RESULT_COUNT; ++r) {
            AppendSample(sOut,
                         "fanout_relay_requests_total{" + ChannelLabel(c) + ",result=\"" +
                             std::to_string(r) + "\"}",
                         m_aRequests[c][r].load(std::memory_order_relaxed));
        }
    }
    AppendHeader(sOut, "fanout_relay_duplicates_total", "counter",
                 "Requests recognised as a copy of one already stored.");
    for (size_t c = 0; c < relay_proto::CHANNEL_COUNT; ++c) {
        AppendSample(sOut, "fanout_relay_duplicates_total{" + ChannelLabel(c) + "}",
                     m_aDuplicates[c].load(std::memory_order_relaxed));
    }
    AppendHeader(sOut, "fanout_relay_deliveries_total", "counter",
                 "Delivery attempts, by channel and outcome.");
    for (size_t c = 0; c < relay_proto::CHANNEL_COUNT; ++c) {
        for (size_t o = 0; o < OUTCOME_COUNT; ++o) {
            AppendSample(sOut,
                         "fanout_relay_deliveries_total{" + ChannelLabel(c) + ",outcome=\"" +
                             OutcomeName(static_cast<OUTCOME>(o)) + "\"}",
                         m_aDeliveries[c][o].load(std::memory_order_relaxed));
        }
    }
    AppendHeader(sOut, "fanout_relay_queue_depth", "gauge",
                 "Messages queued or being delivered, by channel.");
    for (size_t c = 0; c < relay_proto::CHANNEL_COUNT && c < vecQueueDepths.size(); ++c) {
        AppendSample(sOut, "fanout_relay_queue_depth{" + ChannelLabel(c) + "}", vecQueueDepths[c]);
    }
    AppendHeader(sOut, "fanout_relay_connections", "gauge", "Intake connections open now.");
    const int64_t llConnections = m_llConnections.load(std::memory_order_relaxed);
    AppendSample(sOut, "fanout_relay_connections",
                 static_cast<uint64_t>(llConnections < 0 ? 0 : llConnections));

    AppendHeader(sOut, "fanout_relay_request_duration_seconds", "histogram",
                 "Time from a whole request frame received to its reply sent.");
    uint64_t ddwCumulative = 0;
    for (size_t i = 0; i < kBucketCount; ++i) {
        ddwCumulative += m_aDurationBuckets[i].load(std::memory_order_relaxed);
        AppendSample(sOut,
                     std::string("fanout_relay_request_duration_seconds_bucket{le=\"") +
                         kBucketLabels[i] + "\"}",
                     ddwCumulative);
    }
    // Read the count after the buckets, so +Inf is never below the last bucket.
    const uint64_t ddwCount = m_ddwDurationCount.load(std::memory_order_relaxed);
    AppendSample(sOut, "fanout_relay_request_duration_seconds_bucket{le=\"+Inf\"}",
                 std::max(ddwCount, ddwCumulative));
    const uint64_t ddwMicros = m_ddwDurationSumMicros.load(std::memory_order_relaxed);
    char szSum[64];
    snprintf(szSum, sizeof(szSum), "%" PRIu64 ".%06" PRIu64, ddwMicros / 1000000,
             ddwMicros % 1000000);
    sOut += std::string("fanout_relay_request_duration_seconds_sum ") + szSum + "\n";
    AppendSample(sOut, "fanout_relay_request_duration_seconds_count",
                 std::max(ddwCount, ddwCumulative));
    return sOut;
}

// static
std::string CMetrics::RenderStored(const std::vector<uint64_t>& vecByStatus) {
    std::string sOut;
    AppendHeader(sOut, "fanout_relay_stored_messages", "gauge", "Messages stored, by status.");
    for (size_t s = 0; s < STATUS_COUNT && s < vecByStatus.size(); ++s) {
        AppendSample(sOut,
                     std::string("fanout_relay_stored_messages{status=\"") +
                         StatusName(static_cast<STATUS>(s)) + "\"}",
                     vecByStatus[s]);
    }
    return sOut;
}

std::string CMetrics::Summary() const {
    uint64_t ddwAnswered = 0;
    uint64_t ddwAccepted = 0;
    uint64_t aOutcomes[OUTCOME_COUNT] = {};
    for (size_t c = 0; c < relay_proto::CHANNEL_COUNT; ++c) {
        for (size_t r = 0; r < RESULT_COUNT; ++r) {
            ddwAnswered += m_aRequests[c][r].load(std::memory_order_relaxed);
        }
        ddwAccepted += m_aRequests[c][0].load(std::memory_order_relaxed);
        for (size_t o = 0; o < OUTCOME_COUNT; ++o) {
            aOutcomes[o] += m_aDeliveries[c][o].load(std::memory_order_relaxed);
        }
    }
    return std::to_string(ddwAnswered) + " requests answered (" + std::to_string(ddwAccepted) +
           " with 0), " + std::to_string(aOutcomes[OC_DELIVERED]) + " delivered, " +
           std::to_string(aOutcomes[OC_RETRY]) + " retries, " +
           std::to_string(aOutcomes[OC_FAILED]) + " failed, " +
           std::to_string(m_llConnections.load(std::memory_order_relaxed)) + " connections open";
}

}  // namespace relayd
