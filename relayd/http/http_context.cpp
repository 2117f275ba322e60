#include "relayd/http/http_context.h"

#include "relayd/http/http_reply.h"

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
    if (!oContext.m_oEvents.WaitAfter(ddwSeq, llTimeoutMs, vecEvents)) {
        return false;  // the bus is closed
    }
    if (!vecEvents.empty()) {
        ddwSeq = vecEvents.back().m_ddwSeq;
        return true;
    }
    return !oContext.m_bStopping;
}

}  // namespace relayd
