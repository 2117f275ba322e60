// Intake: turns request packages into stored messages and result codes. The event loop
// hands over each whole frame; one worker thread takes everything that has arrived since
// its last round as one batch, checks each request in the documented order, stores the
// accepted ones in one transaction (group commit), and hands back one verdict per
// request: a result code to answer, or "close without answering" when the store failed.
#ifndef RELAYD_INTAKE_INTAKE_H
#define RELAYD_INTAKE_INTAKE_H

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/config/config.h"
#include "relayd/intake/refusal_log.h"
#include "relayd/record/clock.h"
#include "relayd/record/events.h"
#include "relayd/record/message.h"
#include "relayd/record/metrics.h"
#include "relayd/record/sync_delivery.h"
#include "relayd/store/keyring.h"
#include "relayd/store/store.h"

namespace relayd {

// One request as it came off the wire.
struct SIntakeItem {
    uint64_t m_ddwConnId = 0;
    relay_proto::CHANNEL m_eChannel = relay_proto::CH_SMS;
    sockaddr_storage m_oPeer = {};
    std::string m_sPeerText;
    std::string m_sPayload;
    uint64_t m_ddwArrivedMs = 0;  // steady clock, for the request duration
};

// What to tell the client.
struct SIntakeVerdict {
    uint64_t m_ddwConnId = 0;
    relay_proto::CHANNEL m_eChannel = relay_proto::CH_SMS;
    bool m_bReply = true;  // false: close without a reply (the client tries its next server)
    uint32_t m_dwResult = 0;
    uint32_t m_dwTimestamp = 0;  // the request's, echoed in the reply
    uint64_t m_ddwArrivedMs = 0;
};

class CIntake {
public:
    typedef std::function<void(const SIntakeVerdict&)> VERDICT_FN;

    // fnVerdict is called from the worker thread (or a delivery thread in synchronous
    // mode), once per submitted item. pSyncDelivery is used only with [delivery] sync.
    CIntake(const SConfig& oConfig, IStore& oStore, const CKeyRing& oKeys, CMetrics& oMetrics,
            CEventBus& oEvents, ISyncDelivery* pSyncDelivery, VERDICT_FN fnVerdict);
    ~CIntake();
    CIntake(const CIntake&) = delete;
    CIntake& operator=(const CIntake&) = delete;

    void Start();
    // Takes one request; never blocks on the store.
    void Submit(SIntakeItem&& oItem);
    // Finishes what was submitted, then ends the worker.
    void Stop();

    // Called after each stored batch (wakes delivery).
    void SetOnStored(std::function<void()> fnOnStored) { m_fnOnStored = std::move(fnOnStored); }

private:
    struct SPending;

    void Run();
    void ProcessBatch(std::vector<SIntakeItem>& vecBatch);
    bool Check(SIntakeItem& oItem, const IKeyLookup& oKeys, SPending& oPending);
    void CommitAndAnswer(std::vector<SPending>& vecAccepted);
    void Answer(const SPending& oPending, bool bReply, uint32_t dwResult);
    // Answers dwResult (1, 2, 4 or 5) and logs why.
    void Refuse(const SIntakeItem& oItem, const SPending& oPending, uint32_t dwResult,
                const std::string& sWhy);

    const SConfig& m_oConfig;
    IStore& m_oStore;
    const CKeyRing& m_oKeys;
    CMetrics& m_oMetrics;
    CEventBus& m_oEvents;
    ISyncDelivery* m_pSyncDelivery;
    VERDICT_FN m_fnVerdict;
    std::function<void()> m_fnOnStored;
    CRefusalLog m_oRefusals;  // the worker's
    // Arrival times: stored messages keep their order even when the system clock is
    // stepped back, and the dedupe window never reaches back further than it should.
    CUnsteppedWallClock m_oClock;

    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    std::vector<SIntakeItem> m_vecQueue;
    bool m_bStopping = false;
    std::thread m_oWorker;
};

}  // namespace relayd

#endif  // RELAYD_INTAKE_INTAKE_H
