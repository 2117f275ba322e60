// Delivery: takes queued messages from the store and sends them to their destination (the
// SMTP server, each webhook URL), a few at a time per destination, retrying with back-off
// until they are delivered, fail, or grow older than max_age; every attempt is recorded.
//
// Lanes: each destination has a lane with kWorkersPerLane workers (each with its own
// sender and so its own connection to the peer) and claims for itself only what its
// workers can start soon, so a destination that stalls fills only its own lane and the
// others keep their pace. One dispatcher thread claims for every lane with room.
//
// Time: waits inside the process run on the monotonic clock. Times compared with the
// store (due attempts, leases, ages) come from an unstepped wall clock, so a wall clock
// stepped back does not hold up what was due; the dispatcher looks at the store at least
// every kPollMs whatever the clock does. Leases are short and renewed by this relay every
// kRenewEveryMs for every message it holds, right before it requeues the leases that ran
// out (more than kExpiryMarginMs ago); a clock stepped forward thus never takes back a
// message this relay is still working on. On PostgreSQL lease times come from the
// database server's clock.
//
// Stopping: StopClaiming() hands the claimed messages not yet started back at once;
// Stop() gives the attempts in flight the time left, then cuts them short (recorded as
// retries). Messages left delivering by a crash go back to the queue at the next start
// on SQLite (only one relay uses the file), when their lease runs out on PostgreSQL.
// Attempts are recorded by one recorder thread, many to a transaction.
//
// Secrets: the SMTP password and the webhook secrets come from oSecrets, which a reload
// may change; a worker makes its senders anew when they hold an older generation.
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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/config/config.h"
#include "relayd/config/live_secrets.h"
#include "relayd/delivery/retry_plan.h"
#include "relayd/delivery/sender.h"
#include "relayd/record/clock.h"
#include "relayd/record/events.h"
#include "relayd/record/message.h"
#include "relayd/record/metrics.h"
#include "relayd/record/sync_delivery.h"
#include "relayd/store/store.h"

namespace relayd {

class CDeliveryEngine : public ISyncDelivery {
public:
    // Deliveries to one destination that run at once.
    static constexpr uint32_t kWorkersPerLane = 4;

    // sOwner names this relay in the store's leases (unique among relays sharing it).
    CDeliveryEngine(const SConfig& oConfig, const CLiveSecrets& oSecrets, IStore& oStore,
                    CMetrics& oMetrics, CEventBus& oEvents, const std::string& sOwner);
    ~CDeliveryEngine();  // Stop(0)
    CDeliveryEngine(const CDeliveryEngine&) = delete;
    CDeliveryEngine& operator=(const CDeliveryEngine&) = delete;

    // Checks the delivery settings, takes back what a crash left delivering (see above)
    // and starts the threads. Call it before intake accepts requests. False with sErrMsg
    // when a setting is wrong or the store cannot requeue.
    bool Start(std::string& sErrMsg);
    // New work may be due (a message stored, a failed one sent back to the queue).
    void Wake();
    // Stops claiming and hands the claimed messages no worker has started back to the
    // queue; synchronous deliveries still run. Safe to call twice.
    void StopClaiming();
    // StopClaiming(), then attempts in flight get llGraceMs to end and are then cut short
    // and recorded as retries. Waiting synchronous messages fail. Returns when every
    // thread has ended. Safe to call twice.
    void Stop(int64_t llGraceMs);

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
    // A lease's length, renewed every kRenewEveryMs while this relay holds the message;
    // another relay takes it back kExpiryMarginMs after it ran out.
    static constexpr int64_t kLeaseMs = 15 * 1000;
    static constexpr int64_t kRenewEveryMs = 3000;
    static constexpr int64_t kExpiryMarginMs = 5000;
    // How often due messages are looked for without a Wake().
    static constexpr int64_t kPollMs = 1000;
    static constexpr size_t kMaxRecordBatch = 256;
    // A busy recorder waits this long for this many records to share a commit.
    static constexpr int64_t kRecordGatherUs = 2000;
    static constexpr size_t kRecordGatherCount = 32;
    static constexpr size_t kMaxQueuedRecords = 1024;
    // Claimed messages a lane holds beyond those being attempted: enough that its workers
    // never wait for the next claim (a store transaction) while the queue is long.
    static constexpr uint32_t kMaxWaitingPerLane = 8 * kWorkersPerLane;

    struct SJob {
        SMessage m_oMessage;
        int64_t m_llDeadlineMs = 0;  // synchronous messages, monotonic
        DONE_FN m_fnDone;            // synchronous messages only
    };
    // One destination and the channels that deliver to it.
    struct SLane {
        std::vector<relay_proto::CHANNEL> m_vecChannels;
        std::deque<SJob> m_deqSync;           // first in line
        std::deque<SJob> m_deqClaimed;        // waiting for a worker
        uint32_t m_dwBusy = 0;                // claimed messages being attempted
        bool m_bWoken = true;                 // claim without waiting for the next poll
        int64_t m_llNextPollMs = 0;           // monotonic: when to claim next without a Wake()
        int64_t m_llNextRetryMs = INT64_MAX;  // monotonic: the earliest retry scheduled
        std::condition_variable m_oCond;
        std::vector<std::thread> m_vecWorkers;
    };

    // Sets up a lane per destination; under m_oMutex.
    void MakeLanes();
    void DispatchLoop();
    // Claims what oLane's workers can start soon; under m_oMutex (released meanwhile).
    void ClaimFor(SLane& oLane, std::unique_lock<std::mutex>& oLock);
    static uint32_t ClaimRoom(const SLane& oLane);
    // Renews the leases of every message this relay holds, then requeues leases that ran
    // out; under m_oMutex (released meanwhile).
    void KeepLeases(std::unique_lock<std::mutex>& oLock);
    // Fails the queued messages of channels that have no destination (any more).
    void FailUndeliverable(int64_t llNowMs);
    // Gives claims back to the queue at once (called without m_oMutex).
    void HandBack(const std::vector<int64_t>& vecIds);
    // Logs a store failure of the dispatcher's polls once, not at every poll.
    void NoteStoreResult(bool bOk, const std::string& sErrMsg);
    void WorkerLoop(SLane& oLane);
    void RunClaimed(ISender& oSender, SLane& oLane, const SJob& oJob, std::mt19937_64& oRandom);
    // A retry of oLane's due at llNextAttemptMs (store time): claim then.
    void NoteRetry(SLane& oLane, int64_t llNextAttemptMs);
    void RunSync(ISender* pSender, SJob& oJob);
    // An attempt waiting for the recorder thread.
    struct SRecordSlot {
        SAttemptRecord m_oRecord;
        bool m_bDone = false;
        bool m_bOwnedByRecorder = false;  // nobody waits for it: the recorder frees it
    };

    // Counts the attempt and hands its record (with the new status) to the recorder
    // thread, which writes the records queued meanwhile in one transaction; the message
    // is no longer held (its lease is no longer renewed). With bWait, returns once it is
    // stored (or the store failed for good): a synchronous answer follows its record.
    // Without, the message stays delivering until the record is written; a crash before
    // then delivers it again (at least once).
    void Record(const SMessage& oMessage, const SDelivery& oAttempt, const SNextStep& oStep,
                bool bWait);
    void RecordLoop();
    // Stores the records in one transaction (retrying a failing store briefly), then
    // publishes the new statuses.
    void WriteRecords(const std::vector<SRecordSlot*>& vecSlots);
    void FailUnsent(const SMessage& oMessage, const std::string& sWhy);

    const SConfig m_oConfig;
    const CLiveSecrets& m_oSecrets;
    IStore& m_oStore;
    CMetrics& m_oMetrics;
    CEventBus& m_oEvents;
    const std::string m_sOwner;
    const SRetryPolicy m_oPolicy;
    CUnsteppedWallClock m_oClock;

    std::mutex m_oMutex;
    std::condition_variable m_oDispatchCond;
    std::condition_variable m_oStopCond;
    std::vector<std::unique_ptr<SLane>> m_vecLanes;
    std::array<SLane*, relay_proto::CHANNEL_COUNT> m_aLaneOf{};  // null: no destination
    std::set<int64_t> m_setHeld;  // messages this relay holds: their leases are renewed
    std::thread m_thDispatch;
    bool m_bRunning = false;
    bool m_bClaiming = false;
    bool m_bStopping = false;
    std::string m_sLastStoreError;  // the dispatcher's last poll failure, "" after a success
    uint32_t m_dwWorkersRunning = 0;
    std::atomic<bool> m_bAbort{false};

    std::mutex m_oRecordMutex;
    std::condition_variable m_oRecordCond;    // the recorder waits for records
    std::condition_variable m_oRecordedCond;  // workers wait for theirs to be stored
    std::deque<SRecordSlot*> m_deqToRecord;
    bool m_bRecorderRunning = false;
    bool m_bRecorderStopping = false;
    bool m_bRecorderGathering = false;  // waits for a full batch, not for the first record
    std::thread m_thRecorder;
};

}  // namespace relayd

#endif  // RELAYD_DELIVERY_DELIVERY_ENGINE_H
