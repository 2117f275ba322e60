// /livez, /readyz and /metrics: for supervisors and Prometheus. Open without the token,
// like the pages: they carry counts, never message data.
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"

namespace relayd {

void AddProbeRoutes(CHttpRouter& oServer, SHttpContext& oContext) {
    SHttpContext* pContext = &oContext;
    oServer.Get("/livez", [](const SHttpRequest&, SHttpResponse& oRes) {
        oRes.SetContent("ok\n", "text/plain; charset=utf-8");
    });
    oServer.Get("/readyz", [pContext](const SHttpRequest&, SHttpResponse& oRes) {
        std::string sErrMsg;
        if (pContext->m_fnListening && !pContext->m_fnListening()) {
            ReplyError(oRes, 503, "the channel ports are not listening yet");
        } else if (!pContext->m_oStore.Ping(sErrMsg)) {
            ReplyStoreError(oRes, sErrMsg);
            oRes.m_iStatus = 503;
        } else {
            oRes.SetContent("ready\n", "text/plain; charset=utf-8");
        }
    });
    oServer.Get("/metrics", [pContext](const SHttpRequest&, SHttpResponse& oRes) {
        std::vector<uint64_t> vecDepths;
        std::string sErrMsg;
        if (!pContext->m_oStore.QueueDepths(vecDepths, sErrMsg)) {
            vecDepths.clear();  // the counters still show; the depths are unknown
        }
        std::vector<uint64_t> vecStored;
        const std::string sStored = pContext->m_oStore.CountByStatus(vecStored, sErrMsg)
                                        ? CMetrics::RenderStored(vecStored)
                                        : std::string();
        oRes.SetContent(pContext->m_oMetrics.Render(vecDepths) + sStored,
                        "text/plain; version=0.0.4; charset=utf-8");
    });
}

}  // namespace relayd
