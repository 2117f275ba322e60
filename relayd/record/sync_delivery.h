// What intake asks of delivery in synchronous mode: a request is answered only once the
// first attempt of its message has decided. The delivery engine implements it; intake
// sees nothing else of delivery.
#ifndef RELAYD_RECORD_SYNC_DELIVERY_H
#define RELAYD_RECORD_SYNC_DELIVERY_H

#include <cstdint>
#include <functional>

#include "relayd/record/message.h"

namespace relayd {

class ISyncDelivery {
public:
    typedef std::function<void(bool bDelivered)> DONE_FN;

    virtual ~ISyncDelivery() = default;

    // The lease intake gives a message it stores for DeliverNow at llNowMs.
    virtual int64_t SyncLeaseUntilMs(int64_t llNowMs) const = 0;
    // The first attempt of oMessage, stored as delivering with that lease. fnDone runs
    // exactly once with the outcome: true when delivered.
    virtual void DeliverNow(const SMessage& oMessage, DONE_FN fnDone) = 0;
};

}  // namespace relayd

#endif  // RELAYD_RECORD_SYNC_DELIVERY_H
