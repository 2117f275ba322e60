#include "relayd/http_context.h"

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

}  // namespace relayd
