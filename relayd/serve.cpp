#include "relayd/serve.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "relay_net/event_loop.h"
#include "relay_net/process.h"
#include "relayd/delivery/delivery_engine.h"
#include "relayd/http/http_server.h"
#include "relayd/intake/intake.h"
#include "relayd/intake/intake_server.h"
#include "relayd/record/events.h"
#include "relayd/record/metrics.h"
#include "relayd/record/redact.h"
#include "relayd/service_manager.h"
#include "relayd/store/keyring.h"
#include "relayd/store/retention.h"
#include "relayd/store/store.h"

namespace relayd {

namespace {

// Requests in flight when a stop signal comes get this long to be answered.
const uint64_t kStopGraceMs = 5000;

relay_net::CEventLoop* g_pLoop = nullptr;

void OnStopSignal(int) {
    g_pLoop->RequestStop();
}

// Names this relay's delivery leases in a store shared with another relay.
std::string OwnerName() {
    char szHost[256] = "";
    gethostname(szHost, sizeof(szHost) - 1);
    return std::string(szHost) + ":" + std::to_string(getpid());
}

int Fail(const std::string& sErrMsg) {
    fprintf(stderr, "fanout_relayd: %s\n", sErrMsg.c_str());
    return 2;
}

}  // namespace

int Serve(const SConfig& oConfig) {
    signal(SIGPIPE, SIG_IGN);
    relay_net::RaiseFdLimit();
    std::string sErrMsg;
    std::unique_ptr<IStore> pStore = OpenStore(oConfig.m_sStore, sErrMsg);
    if (!pStore) {
        return Fail(sErrMsg);
    }
    CKeyRing oKeys(oConfig.m_vecKeys, pStore.get());
    CMetrics oMetrics;
    CEventBus oEvents;
    CDeliveryEngine oEngine(oConfig, *pStore, oMetrics, oEvents, OwnerName());
    relay_net::CEventLoop oLoop;
    if (!oLoop.Init(sErrMsg)) {
        return Fail(sErrMsg);
    }
    CIntakeServer oServer(oLoop, oConfig, oMetrics);
    CIntake oIntake(oConfig, *pStore, oKeys, oMetrics, oEvents, &oEngine,
                    [&oServer](const SIntakeVerdict& oVerdict) { oServer.PostAnswer(oVerdict); });
    oIntake.SetOnStored([&oEngine]() { oEngine.Wake(); });
    oServer.SetIntake(&oIntake);
    if (!oServer.Listen(sErrMsg)) {
        return Fail(sErrMsg);
    }
    std::atomic<bool> bListening{true};
    std::unique_ptr<CHttpServer> pHttp;
    if (oConfig.m_sHttp != "off") {
        pHttp.reset(new CHttpServer(
            oConfig, *pStore, oMetrics, oEvents, [&oEngine]() { oEngine.Wake(); },
            [&bListening]() { return bListening.load(); }));
        if (!pHttp->Start(sErrMsg)) {
            return Fail(sErrMsg);
        }
    }
    if (!oEngine.Start(sErrMsg)) {
        return Fail(sErrMsg);
    }
    oIntake.Start();
    CRetention oRetention(*pStore, oConfig.m_llRetentionMs);
    oRetention.Start();
    g_pLoop = &oLoop;
    relay_net::SetStopHandler(OnStopSignal);
    const std::string sServing = oServer.ListenText() + "; http " + oConfig.m_sHttp + "; store " +
                                 Redacted(oConfig.m_sStore);
    fprintf(stderr, "fanout_relayd: %s\n", sServing.c_str());
    NotifyReady(sServing);

    bool bOk = oLoop.Run(sErrMsg);
    NotifyStopping();
    bListening = false;
    // Stop accepting; answer what is in flight (intake keeps posting verdicts meanwhile).
    bOk = oServer.Shutdown(kStopGraceMs, sErrMsg) && bOk;
    relay_net::SetStopHandler(SIG_IGN);
    oIntake.Stop();
    oEngine.Stop();
    if (pHttp) {
        pHttp->Stop();
    }
    oEvents.Close();
    if (!bOk) {
        fprintf(stderr, "fanout_relayd: %s\n", sErrMsg.c_str());
        return 1;
    }
    return 0;
}

}  // namespace relayd
