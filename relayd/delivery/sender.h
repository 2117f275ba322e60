// A sender makes one delivery attempt of a message to its channel's destination. Each
// delivery worker owns one (and with it one libcurl handle, so connections are reused);
// a sender is not shared between threads.
#ifndef RELAYD_DELIVERY_SENDER_H
#define RELAYD_DELIVERY_SENDER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "relay_proto/channel.h"
#include "relayd/config/config.h"
#include "relayd/delivery/attempt.h"
#include "relayd/record/message.h"

namespace relayd {

class ISender {
public:
    virtual ~ISender() = default;
    // One attempt, ended after llTimeoutMs at the latest (then a retry).
    virtual SAttemptResult Send(const SMessage& oMessage, int64_t llTimeoutMs) = 0;
};

// The sender for eChannel's destination (which must be configured: HasDestination).
// pAbort, when not null, cuts attempts short once it turns true.
std::unique_ptr<ISender> MakeSender(const SConfig& oConfig, relay_proto::CHANNEL eChannel,
                                    const std::atomic<bool>* pAbort);

}  // namespace relayd

#endif  // RELAYD_DELIVERY_SENDER_H
