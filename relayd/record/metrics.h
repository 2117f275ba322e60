// Counters of what the relay did, shared by intake, delivery and the HTTP side, and
// rendered in the Prometheus text format at /metrics. Updates are lock-free.
#ifndef RELAYD_RECORD_METRICS_H
#define RELAYD_RECORD_METRICS_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/record/message.h"

namespace relayd {

class CMetrics {
public:
    // Result codes 0-5 are counted one by one; anything else is not a result the relay sends.
    enum { RESULT_COUNT = 6 };

    void CountRequest(relay_proto::CHANNEL eChannel, uint32_t dwResult);
    void CountDuplicate(relay_proto::CHANNEL eChannel);
    void CountDelivery(relay_proto::CHANNEL eChannel, OUTCOME eOutcome);
    // Frame received to reply sent.
    void ObserveRequestSeconds(double dSeconds);
    void AddConnections(int64_t llDelta);

    // The whole exposition; vecQueueDepths indexed by relay_proto::CHANNEL.
    std::string Render(const std::vector<uint64_t>& vecQueueDepths) const;
    // The gauge fanout_relay_stored_messages{status}; vecByStatus indexed by STATUS.
    static std::string RenderStored(const std::vector<uint64_t>& vecByStatus);

    // The counts in one line for the service manager's status, from the counters alone:
    // "12 requests answered (10 with 0), 9 delivered, 3 retries, 1 failed, 2 connections
    // open".
    std::string Summary() const;

private:
    static const double kBuckets[];
    static const size_t kBucketCount = 12;

    std::atomic<uint64_t> m_aRequests[relay_proto::CHANNEL_COUNT][RESULT_COUNT] = {};
    std::atomic<uint64_t> m_aDuplicates[relay_proto::CHANNEL_COUNT] = {};
    std::atomic<uint64_t> m_aDeliveries[relay_proto::CHANNEL_COUNT][OUTCOME_COUNT] = {};
    std::atomic<uint64_t> m_aDurationBuckets[kBucketCount] = {};  // not cumulative
    std::atomic<uint64_t> m_ddwDurationCount{0};
    std::atomic<uint64_t> m_ddwDurationSumMicros{0};
    std::atomic<int64_t> m_llConnections{0};
};

}  // namespace relayd

#endif  // RELAYD_RECORD_METRICS_H
