// Delivery: takes queued messages from the store and sends them to their channel's
// destination, a few at a time per channel, retrying with back-off until they are
// delivered, fail, or grow older than max_age; every attempt is recorded.
//
// Threads: one dispatcher claims due messages (leased to this relay, so a second relay
// sharing the store skips them) and hands them to the channel's workers; each channel
// with a destination has kWorkersPerChannel workers, each with its own sender and so its
// own connection to the peer. A claim takes no more than every channel has room for
// (kMaxWaitingPerLane); its lease (two attempt times and a margin) covers the wait
// behind a few attempts and the attempt itself. A worker never starts a message whose
// lease could run out before the attempt ends (behind a stalled peer): it is left to
// run out and return to the queue. Leases that ran out (a relay died mid-delivery) are
// put back in the queue at start and every few seconds. Attempts are recorded by one
// recorder thread, many to a transaction.
//
// Synchronous mode: intake stores the message as delivering, leased until
// SyncLeaseUntilMs(), and calls DeliverNow(); the first attempt runs at once, ends
// within sync_timeout, and the message ends delivered or failed (never retried).
#ifndef RELAYD_DELIVERY_DELIVERY_ENGINE_H
#define RELAYD_DELIVERY_DELIVERY_ENGINE_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/config/config.h"
#include "relayd/delivery/retry_plan.h"
#include "relayd/delivery/sender.h"
#include "relayd/record/events.h"
#include "relayd/record/message.h"
#include "relayd/record/metrics.h"
#include "relayd/record/sync_delivery.h"
#include "relayd/store/store.h"

namespace relayd {

class CDeliveryEngine : public ISyncDelivery {
public:
    // Deliveries to one destination that run at once.
    static constexpr uint32_t kWorkersPerChannel = 4;

    // sOwner names this relay in the store's leases (unique among relays sharing it).
    CDeliveryEngine(const SConfig& oConfig, IStore& oStore, CMetrics& oMetrics, CEventBus& oEvents,
                    const std::string& sOwner);
    ~CDeliveryEngine();  // Stop()
    CDeliveryEngine(const CDeliveryEngine&) = delete;
    CDeliveryEngine& operator=(const CDeliveryEngine&) = delete;

    // Checks the delivery settings, puts messages whose lease ran out back in the queue
    // and starts the threads. Call it before intake accepts requests. False with sErrMsg
    // when a setting is wrong or the store cannot requeue.
    bool Start(std::string& sErrMsg);
    // New work may be due (a message stored, a failed one sent back to the queue).
    void Wake();
    // Stops claiming; attempts in flight get a few seconds (kStopGraceMs) to end, then are
    // cut short and recorded as retries. Waiting synchronous messages fail. Returns when
    // every thread has ended. Safe to call twice.
    void Stop();

    // Synchronous mode: the first attempt of a message intake stored as delivering (with
    // the lease SyncLeaseUntilMs() gives), run at once and ended within sync_timeout of
    // this call. Delivered: recorded, then fnDone(true). Anything else: the message is
    // recorded as failed, never retried, then fnDone(false). fnDone runs exactly once,
    // on a worker thread (before DeliverNow returns when the engine is not running or the
    // channel has no destination).
    void DeliverNow(const SMessage& oMessage, DONE_FN fnDone) override;

    // The lease intake gives a message it stores for DeliverNow at llNowMs.
    int64_t SyncLeaseUntilMs(int64_t llNowMs) const override;

private:
    // Room for recording the attempt after it ends.
    static constexpr int64_t kLeaseMarginMs = 10 * 1000;
    // How often due messages and ran-out leases are looked for without a Wake().
    static constexpr int64_t kPollMs = 1000;
    static constexpr int64_t kRequeueEveryMs = 5000;
    static constexpr int64_t kStopGraceMs = 3000;
    static constexpr size_t kMaxRecordBatch = 256;
    static constexpr size_t kMaxQueuedRecords = 1024;
    // Claimed messages a channel holds beyond those being attempted.
    static constexpr uint32_t kMaxWaitingPerLane = 8 * kWorkersPerChannel;

    struct SJob {
        SMessage m_oMessage;
        int64_t m_llLeaseUntilMs = 0;  // claimed messages
        int64_t m_llDeadlineMs = 0;    // synchronous messages
        DONE_FN m_fnDone;              // synchronous messages only
    };
    struct SLane {
        relay_proto::CHANNEL m_eChannel = relay_proto::CH_MAIL;
        std::deque<SJob> m_deqSync;     // first in line
        std::deque<SJob> m_deqClaimed;  // waiting for a worker
        std::condition_variable m_oCond;
        std::vector<std::thread> m_vecWorkers;
    };

    void DispatchLoop();
    // Claims what the lanes can start within one attempt's time; under m_oMutex.
    void ClaimDue(std::unique_lock<std::mutex>& oLock, int64_t llNowMs);
    void RequeueExpired(int64_t llNowMs);
    // Logs a store failure of the dispatcher's polls once, not at every poll.
    void NoteStoreResult(bool bOk, const std::string& sErrMsg);
    uint32_t ClaimRoom() const;
    void WorkerLoop(SLane& oLane);
    void RunClaimed(ISender& oSender, SJob& oJob, std::mt19937_64& oRandom);
    void RunSync(ISender* pSender, SJob& oJob);
    // An attempt waiting for the recorder thread.
    struct SRecordSlot {
        SAttemptRecord m_oRecord;
        bool m_bDone = false;
        bool m_bOwnedByRecorder = false;  // nobody waits for it: the recorder frees it
    };

    // Counts the attempt and hands its record (with the new status) to the recorder
    // thread, which writes the records queued meanwhile in one transaction. With bWait,
    // returns once it is stored (or the store failed for good): a synchronous answer
    // follows its record. Without, the message stays delivering until the record is
    // written; a crash before then delivers it again (at least once).
    void Record(const SMessage& oMessage, const SDelivery& oAttempt, const SNextStep& oStep,
                bool bWait);
    void RecordLoop();
    // Stores the records in one transaction (retrying a failing store briefly), then
    // publishes the new statuses.
    void WriteRecords(const std::vector<SRecordSlot*>& vecSlots);
    void FailUnsent(const SMessage& oMessage, const std::string& sWhy);

    const SConfig m_oConfig;
    IStore& m_oStore;
    CMetrics& m_oMetrics;
    CEventBus& m_oEvents;
    const std::string m_sOwner;
    const SRetryPolicy m_oPolicy;

    std::mutex m_oMutex;
    std::condition_variable m_oDispatchCond;
    std::condition_variable m_oStopCond;
    std::array<std::unique_ptr<SLane>, relay_proto::CHANNEL_COUNT> m_aLanes;  // null: none
    std::thread m_thDispatch;
    bool m_bRunning = false;
    bool m_bStopping = false;
    bool m_bWoken = false;
    int64_t m_llNextPollMs = 0;           // when the dispatcher claims next without a Wake()
    int64_t m_llNextRetryMs = INT64_MAX;  // the earliest retry this relay scheduled
    std::string m_sLastStoreError;        // the dispatcher's last poll failure, "" after a success
    uint32_t m_dwWorkersRunning = 0;
    std::atomic<bool> m_bAbort{false};

    std::mutex m_oRecordMutex;
    std::condition_variable m_oRecordCond;    // the recorder waits for records
    std::condition_variable m_oRecordedCond;  // workers wait for theirs to be stored
    std::deque<SRecordSlot*> m_deqToRecord;
    bool m_bRecorderRunning = false;
    bool m_bRecorderStopping = false;
    std::thread m_thRecorder;
};

}  // namespace relayd

#endif  // RELAYD_DELIVERY_DELIVERY_ENGINE_H
