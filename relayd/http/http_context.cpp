#include "relayd/http/http_context.h"

#include "relayd/http/http_reply.h"
#include "relayd/record/clock.h"

namespace relayd {

CLongHandlerSlot::CLongHandlerSlot(SHttpContext& oContext) : m_oContext(oContext) {
    if (m_oContext.m_nLongHandlers.fetch_add(1) < kMaxLongHandlers) {
        m_bHeld = true;
    } else {
        m_oContext.m_nLongHandlers.fetch_sub(1);
    }
}

CLongHandlerSlot::~CLongHandlerSlot() {
    if (m_bHeld) {
        m_oContext.m_nLongHandlers.fetch_sub(1);
    }
}

bool WaitForEvents(SHttpContext& oContext, uint64_t& ddwSeq, int64_t llTimeoutMs,
                   std::vector<CEventBus::SEvent>& vecEvents) {
    if (oContext.m_bStopping) {
        return false;
    }
    const int64_t llStartMs = MonotonicNowMs();
    oContext.m_oEvents.WaitAfter(ddwSeq, llTimeoutMs, vecEvents);
    if (!vecEvents.empty()) {
        ddwSeq = vecEvents.back().m_ddwSeq;
        return true;
    }
    // Nothing, well before the time ran out: only a closed bus answers that way.
    return MonotonicNowMs() - llStartMs >= llTimeoutMs - 5 && !oContext.m_bStopping;
}

}  // namespace relayd
