#include "relayd/http/http_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <future>
#include <vector>

#include "relayd/config/network.h"
#include "relayd/http/http_context.h"
#include "relayd/http/http_dispatch.h"
#include "relayd/http/http_guard.h"
#include "relayd/http/http_session.h"
#include "relayd/record/clock.h"

namespace relayd {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Shutdown: how long event streams and waiting lists get to end their answers.
const int64_t kStopGraceMs = 2000;
// After a failed accept (no descriptor left), the next try waits this long.
const int64_t kAcceptPauseMs = 100;

}  // namespace

// Accepts connections on the loop's thread; beyond the connection limit a new one is
// closed at once.
class CHttpListener {
public:
    CHttpListener(SHttpServerState& oState, size_t nMaxConnections)
        : m_oState(oState),
          m_oAcceptor(oState.m_oIo),
          m_oPause(oState.m_oIo),
          m_nMaxConnections(nMaxConnections) {}

    bool Bind(const std::string& sHost, int iPort, std::string& sErrMsg) {
        error_code oError;
        tcp::resolver oResolver(m_oState.m_oIo);
        const auto oFound =
            oResolver.resolve(sHost, std::to_string(iPort), tcp::resolver::numeric_service, oError);
        if (oError || oFound.empty()) {
            sErrMsg = oError ? oError.message() : "no such address";
            return false;
        }
        const tcp::endpoint oEndpoint = oFound.begin()->endpoint();
        // SO_REUSEADDR only: a second relay on the same port must fail, not share it.
        if (m_oAcceptor.open(oEndpoint.protocol(), oError) ||
            m_oAcceptor.set_option(tcp::acceptor::reuse_address(true), oError) ||
            m_oAcceptor.bind(oEndpoint, oError) ||
            m_oAcceptor.listen(asio::socket_base::max_listen_connections, oError)) {
            sErrMsg = oError.message();
            return false;
        }
        return true;
    }

    int Port() const {
        error_code oError;
        return m_oAcceptor.local_endpoint(oError).port();
    }

    void Accept() {
        m_oAcceptor.async_accept([this](const error_code& oError, tcp::socket oSocket) {
            if (oError == asio::error::operation_aborted || !m_oAcceptor.is_open()) {
                return;
            }
            if (oError) {
                m_oPause.expires_after(std::chrono::milliseconds(kAcceptPauseMs));
                m_oPause.async_wait([this](const error_code& oWaitError) {
                    if (!oWaitError) {
                        Accept();
                    }
                });
                return;
            }
            if (m_oState.m_nConnections >= m_nMaxConnections) {
                error_code oIgnored;
                oSocket.close(oIgnored);
            } else {
                std::make_shared<CHttpSession>(std::move(oSocket), m_oState)->Start();
            }
            Accept();
        });
    }

    void Close() {
        error_code oIgnored;
        m_oAcceptor.close(oIgnored);
        m_oPause.cancel();
    }

private:
    SHttpServerState& m_oState;
    tcp::acceptor m_oAcceptor;
    asio::steady_timer m_oPause;
    size_t m_nMaxConnections;
};

CHttpServer::CHttpServer(const SConfig& oConfig, IStore& oStore, const CKeyRing& oKeys,
                         const CLiveSecrets& oSecrets, CMetrics& oMetrics, CEventBus& oEvents,
                         std::function<void()> fnWakeDelivery, std::function<bool()> fnListening)
    : m_pContext(new SHttpContext{oConfig, oStore, oKeys, oSecrets, oMetrics, oEvents,
                                  std::move(fnWakeDelivery), std::move(fnListening)}) {}

CHttpServer::~CHttpServer() {
    Stop();
}

bool CHttpServer::Start(std::string& sErrMsg) {
    const SConfig& oConfig = m_pContext->m_oConfig;
    if (oConfig.m_sHttp == "off") {
        return true;
    }
    // Whether the address may be served without a token is the configuration's rule
    // (FinishConfig), checked before serving and by --check-config alike.
    SHostPort oAddress;
    if (!ParseHostPort(oConfig.m_sHttp, 0, oAddress, sErrMsg)) {
        sErrMsg = "http: " + sErrMsg;
        return false;
    }
    const std::string& sHost = oAddress.m_sHost;
    const int iPort = oAddress.m_wPort;
    std::unique_ptr<SHttpServerState> pState(new SHttpServerState(*m_pContext));
    AddAllRoutes(pState->m_oRouter, *m_pContext);
    std::unique_ptr<CHttpListener> pListener(
        new CHttpListener(*pState, oConfig.m_dwHttpMaxConnections));
    if (!pListener->Bind(sHost, iPort, sErrMsg)) {
        sErrMsg = "http: cannot listen on " + oConfig.m_sHttp + ": " + sErrMsg;
        return false;
    }
    m_iPort = pListener->Port();
    m_pState = std::move(pState);
    m_pListener = std::move(pListener);
    m_pListener->Accept();
    m_bQuit = false;
    m_oLoopThread = std::thread([this] { m_pState->m_oIo.run(); });
    m_oWakerThread = std::thread([this] { RunWaker(); });
    return true;
}

void CHttpServer::PostWake() {
    if (m_bWakePosted.exchange(true)) {
        return;  // one wake-up at a time: a busy relay's events share it
    }
    asio::post(m_pState->m_oIo, [this] {
        m_bWakePosted = false;
        const std::vector<std::shared_ptr<CHttpSession>> vecWaking(m_pState->m_setWaking.begin(),
                                                                   m_pState->m_setWaking.end());
        for (const auto& pSession : vecWaking) {
            pSession->Wake();
        }
    });
}

void CHttpServer::RunWaker() {
    CEventBus& oEvents = m_pContext->m_oEvents;
    uint64_t ddwSeq = oEvents.LastSeq();
    std::vector<CEventBus::SEvent> vecEvents;
    while (!m_bQuit) {
        const int64_t llStartMs = MonotonicNowMs();
        if (!oEvents.WaitAfter(ddwSeq, kRequeryMs, vecEvents)) {
            // A closed bus answers at once: keep to the pace anyway.
            const int64_t llLeftMs = kRequeryMs - (MonotonicNowMs() - llStartMs);
            if (llLeftMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(llLeftMs));
            }
        } else if (!vecEvents.empty()) {
            ddwSeq = vecEvents.back().m_ddwSeq;
        }
        PostWake();
    }
}

void CHttpServer::Stop() {
    if (!m_pState) {
        return;
    }
    m_pContext->m_bStopping = true;
    PostWake();
    const int64_t llDeadlineMs = MonotonicNowMs() + kStopGraceMs;
    while (m_pContext->m_nLongHandlers > 0 && MonotonicNowMs() < llDeadlineMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::promise<void> oClosed;
    asio::post(m_pState->m_oIo, [this, &oClosed] {
        m_pListener->Close();
        const std::vector<CHttpSession*> vecOpen(m_pState->m_setSessions.begin(),
                                                 m_pState->m_setSessions.end());
        for (CHttpSession* pSession : vecOpen) {
            pSession->CloseNow();
        }
        oClosed.set_value();
    });
    oClosed.get_future().wait_for(std::chrono::milliseconds(kStopGraceMs));
    m_bQuit = true;
    m_oWakerThread.join();
    m_pState->m_oIo.stop();
    m_oLoopThread.join();
    m_pState->m_setWaking.clear();
    m_pListener.reset();
    m_pState.reset();
    m_iPort = 0;
}

}  // namespace relayd
