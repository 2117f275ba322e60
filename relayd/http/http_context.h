// What every HTTP handler shares: the relay's parts and the server's own state. Internal
// to the HTTP side (http_*.cpp).
#ifndef RELAYD_HTTP_HTTP_CONTEXT_H
#define RELAYD_HTTP_HTTP_CONTEXT_H

#include <atomic>
#include <functional>
#include <vector>

#include "relayd/config/config.h"
#include "relayd/config/live_secrets.h"
#include "relayd/record/events.h"
#include "relayd/record/metrics.h"
#include "relayd/store/keyring.h"
#include "relayd/store/store.h"

namespace relayd {

struct SHttpContext {
    const SConfig& m_oConfig;
    IStore& m_oStore;
    const CKeyRing& m_oKeys;         // the file's keys as last (re)loaded
    const CLiveSecrets& m_oSecrets;  // the token as last (re)loaded
    CMetrics& m_oMetrics;
    CEventBus& m_oEvents;
    std::function<void()> m_fnWakeDelivery;
    std::function<bool()> m_fnListening;

    std::atomic<bool> m_bStopping{false};
    // Answers that stay open for long: event streams and waiting lists.
    std::atomic<int> m_nLongHandlers{0};
};

// A place among the long handlers. Each one asks the store again on every wake-up, so
// their number is bounded; without a place an event stream is refused and a list
// answers at once instead of waiting.
class CLongHandlerSlot {
public:
    explicit CLongHandlerSlot(SHttpContext& oContext);
    ~CLongHandlerSlot();
    CLongHandlerSlot(const CLongHandlerSlot&) = delete;
    CLongHandlerSlot& operator=(const CLongHandlerSlot&) = delete;

    bool Held() const { return m_bHeld; }

private:
    SHttpContext& m_oContext;
    bool m_bHeld = false;
};

// Waits up to llTimeoutMs for events after ddwSeq and moves ddwSeq past those it
// returns in vecEvents. False when the server stops or the event bus is closed (the
// relay is shutting down): a waiting answer should end then.
bool WaitForEvents(SHttpContext& oContext, uint64_t& ddwSeq, int64_t llTimeoutMs,
                   std::vector<CEventBus::SEvent>& vecEvents);

// How many long handlers may be open at once.
const int kMaxLongHandlers = 12;

// How often the server wakes waiting lists and event streams when no event does: a
// waiting list asks the store again (another relay sharing the store may have added a
// message this relay's events never mention), a stream checks for shutdown.
const int64_t kRequeryMs = 250;

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_CONTEXT_H
