#include "relayd/serve.h"

#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "relay_net/event_loop.h"
#include "relay_proc/process.h"
#include "relayd/config/config_rules.h"
#include "relayd/config/descriptor_share.h"
#include "relayd/config/live_secrets.h"
#include "relayd/delivery/delivery_engine.h"
#include "relayd/http/http_server.h"
#include "relayd/intake/intake.h"
#include "relayd/intake/intake_server.h"
#include "relayd/record/clock.h"
#include "relayd/record/events.h"
#include "relayd/record/log.h"
#include "relayd/record/metrics.h"
#include "relayd/record/redact.h"
#include "relayd/reload.h"
#include "relayd/service_manager.h"
#include "relayd/store/keyring.h"
#include "relayd/store/retention.h"
#include "relayd/store/store.h"

namespace relayd {

namespace {

// A stop signal ends the process within this, whatever is in flight: answering requests,
// attempts under way and HTTP share it.
const int64_t kStopMs = 5000;
// Kept back from the deadline for what follows the graces (the last records, closing).
const int64_t kStopReserveMs = 500;
// How long stopping waits for the service manager to take the last notices.
const int64_t kNotifyWaitMs = 200;

uint64_t MsLeft(int64_t llDeadlineMs) {
    return static_cast<uint64_t>(std::max<int64_t>(0, llDeadlineMs - MonotonicNowMs()));
}

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
    LogLine(LL_ERROR, sErrMsg);
    return 2;
}

// The SIGHUP descriptor, closed when serving ends.
class CReloadSignal {
public:
    CReloadSignal() = default;
    ~CReloadSignal() {
        if (m_iFd >= 0) {
            close(m_iFd);
        }
    }
    CReloadSignal(const CReloadSignal&) = delete;
    CReloadSignal& operator=(const CReloadSignal&) = delete;

    bool Open(std::string& sErrMsg) {
        m_iFd = relay_proc::OpenReloadSignal(sErrMsg);
        return m_iFd >= 0;
    }
    int Fd() const { return m_iFd; }

private:
    int m_iFd = -1;
};

}  // namespace

int Serve(const SRelaydOptions& oOpts, const SConfig& oGiven) {
    signal(SIGPIPE, SIG_IGN);
    std::string sErrMsg;
    // Before any thread starts: every thread then leaves SIGHUP to the event loop.
    CReloadSignal oReloadSignal;
    if (!oReloadSignal.Open(sErrMsg)) {
        return Fail(sErrMsg);
    }
    relay_proc::RaiseFdLimit();
    relay_proc::ReturnLargeBuffers();
    std::unique_ptr<IStore> pStore = OpenStore(oGiven.m_sStore, sErrMsg);
    if (!pStore) {
        return Fail(sErrMsg);
    }
    // The store is open: what is left of the descriptors decides how many connections
    // intake and the HTTP side may hold.
    SConfig oConfig = oGiven;
    const uint64_t ddwFdLimit = relay_proc::FdLimit();
    const SDescriptorShare oShare = ShareDescriptors(
        oConfig, ddwFdLimit != 0 ? ddwFdLimit : UINT64_MAX, relay_proc::OpenFdCount());
    oConfig.m_dwMaxConnections = oShare.m_dwIntake;
    oConfig.m_dwHttpMaxConnections =
        std::max(oShare.m_dwHttp, static_cast<uint32_t>(kMinHttpMaxConnections));
    CKeyRing oKeys(oConfig.m_vecKeys, pStore.get());
    CLiveSecrets oSecrets(oConfig);
    CMetrics oMetrics;
    CEventBus oEvents;
    CDeliveryEngine oEngine(oConfig, oSecrets, *pStore, oMetrics, oEvents, OwnerName());
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
            oConfig, *pStore, oKeys, oSecrets, oMetrics, oEvents, [&oEngine]() { oEngine.Wake(); },
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
    CServiceNotifier oNotifier([&oMetrics]() { return oMetrics.Summary(); });
    CReloader oReloader(oOpts, oGiven, oKeys, oSecrets, oNotifier);
    const int iReloadFd = oReloadSignal.Fd();
    if (!oLoop.Watch(
            iReloadFd, EPOLLIN,
            [iReloadFd, &oReloader](uint32_t) {
                if (relay_proc::TakeReloadSignals(iReloadFd)) {
                    oReloader.Reload();
                }
            },
            sErrMsg)) {
        return Fail(sErrMsg);
    }
    g_pLoop = &oLoop;
    relay_proc::SetStopHandler(OnStopSignal);
    const std::string sServing = oServer.ListenText() + "; http " + oConfig.m_sHttp + "; store " +
                                 Redacted(oConfig.m_sStore) + "; " +
                                 DescribeShare(oGiven, oShare, ddwFdLimit);
    LogLine(LL_INFO, sServing);
    oNotifier.Ready(sServing);

    bool bOk = oLoop.Run(sErrMsg);
    const int64_t llDeadlineMs = MonotonicNowMs() + kStopMs - kStopReserveMs;
    oNotifier.Stop(kNotifyWaitMs);
    bListening = false;
    // Claimed messages not started go back to the queue at once; HTTP stops alongside
    // (within its own shorter grace), while intake stops accepting and answers what is in
    // flight (posting verdicts meanwhile); attempts under way get what time is left.
    oEngine.StopClaiming();
    std::thread thHttp([&pHttp]() {
        if (pHttp) {
            pHttp->Stop();
        }
    });
    bOk = oServer.Shutdown(MsLeft(llDeadlineMs), sErrMsg) && bOk;
    relay_proc::SetStopHandler(SIG_IGN);
    oIntake.Stop();
    oEngine.Stop(static_cast<int64_t>(MsLeft(llDeadlineMs)));
    thHttp.join();
    oEvents.Close();
    if (!bOk) {
        LogLine(LL_ERROR, sErrMsg);
        return 1;
    }
    return 0;
}

}  // namespace relayd
