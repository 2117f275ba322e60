// /api/v1/events: Server-Sent Events. One "message" event (the record, as the list shows
// it) per new message and one "status" event ({"id", "status"}) per status change, each
// with the event's sequence number as its id, so a browser that reconnects with
// Last-Event-ID misses nothing the relay still keeps. A comment every
// kKeepAliveMs keeps proxies and browsers from giving up on a quiet stream; at shutdown
// the stream ends with its last chunk, cleanly. The server calls the stream's turn each
// time it wakes it; the stream's slot goes back when its connection ends.
#include <memory>

#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"
#include "relayd/record/clock.h"
#include "relayd/record/record_json.h"

namespace relayd {

namespace {

const int64_t kKeepAliveMs = 5 * 1000;
// Tells the browser to reconnect after this long when the stream breaks.
const char kStreamStart[] = "retry: 2000\n\n";

struct SStreamState {
    explicit SStreamState(SHttpContext& oContext) : m_oSlot(oContext) {}

    CLongHandlerSlot m_oSlot;
    uint64_t m_ddwSeq = 0;
    bool m_bStarted = false;
    int64_t m_llLastWriteMs = 0;
};

// The event's text, or "" when there is nothing to send (a message deleted since).
std::string EventText(SHttpContext& oContext, const CEventBus::SEvent& oEvent) {
    JSON oData;
    const char* szName = "status";
    if (oEvent.m_eKind == CEventBus::EK_MESSAGE) {
        SMessage oMessage;
        bool bFound = false;
        std::string sErrMsg;
        if (!oContext.m_oStore.GetMessage(oEvent.m_llId, false, oMessage, bFound, sErrMsg) ||
            !bFound) {
            return "";
        }
        oData = RecordJsonOrdered(oMessage, false);
        szName = "message";
    } else {
        oData = {{"id", oEvent.m_llId}, {"status", StatusName(oEvent.m_eStatus)}};
    }
    // JSON text never holds a line break, so one data line carries it whole.
    return "id: " + std::to_string(oEvent.m_ddwSeq) + "\nevent: " + szName +
           "\ndata: " + DumpJson(oData) + "\n\n";
}

// One turn of the stream: the events since the last turn, as text appended to sText.
// False when the server stops: the stream ends.
bool StreamTurn(SHttpContext& oContext, SStreamState& oState, std::string& sText) {
    if (!oState.m_bStarted) {
        oState.m_bStarted = true;
        oState.m_llLastWriteMs = MonotonicNowMs();
        sText += kStreamStart;
        return true;
    }
    std::vector<CEventBus::SEvent> vecEvents;
    if (!WaitForEvents(oContext, oState.m_ddwSeq, 0, vecEvents)) {
        return false;  // shutting down: the last chunk, so the stream ends cleanly
    }
    const size_t nBefore = sText.size();
    for (const CEventBus::SEvent& oEvent : vecEvents) {
        sText += EventText(oContext, oEvent);
    }
    if (sText.size() == nBefore && MonotonicNowMs() - oState.m_llLastWriteMs >= kKeepAliveMs) {
        sText += ": keep-alive\n\n";
    }
    if (sText.size() != nBefore) {
        oState.m_llLastWriteMs = MonotonicNowMs();
    }
    return true;
}

// Where the stream starts: after the Last-Event-ID a reconnecting browser sends; from
// the first event kept when that id is past the newest (the relay restarted since, and
// every event it has is news); after the newest event for a new stream.
uint64_t StartSeq(SHttpContext& oContext, const SHttpRequest& oReq) {
    const uint64_t ddwLast = oContext.m_oEvents.LastSeq();
    const std::string sLastId = oReq.Header("Last-Event-ID");
    if (sLastId.empty() || sLastId.size() > 19 ||
        sLastId.find_first_not_of("0123456789") != std::string::npos) {
        return ddwLast;
    }
    const uint64_t ddwGiven = std::stoull(sLastId);
    return ddwGiven <= ddwLast ? ddwGiven : 0;
}

void StreamEvents(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
    auto pState = std::make_shared<SStreamState>(oContext);
    if (!pState->m_oSlot.Held()) {
        ReplyError(oRes, 503, "too many event streams are open; try again later");
        return;
    }
    pState->m_ddwSeq = StartSeq(oContext, oReq);
    SHttpContext* pContext = &oContext;
    oRes.m_sContentType = "text/event-stream";
    oRes.m_fnStreamTurn = [pContext, pState](std::string& sText) {
        return StreamTurn(*pContext, *pState, sText);
    };
}

}  // namespace

void AddEventRoutes(CHttpRouter& oServer, SHttpContext& oContext) {
    SHttpContext* pContext = &oContext;
    oServer.Get("/api/v1/events", [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
        StreamEvents(*pContext, oReq, oRes);
    });
}

}  // namespace relayd
