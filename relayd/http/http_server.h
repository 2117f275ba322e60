// The relay's HTTP side: the web inbox, the REST API, key registration, live events,
// health probes and metrics, served inside the relay by one event-loop thread that
// multiplexes every connection (Boost.Asio, with Boost.Beast's HTTP parser), so a slow
// or stalled client never holds up another.
//
// Usage (main):
//   CHttpServer oHttp(oConfig, *pStore, oKeys, oSecrets, oMetrics, oEvents, fnWakeDelivery,
//                     fnListening);
//   if (!oHttp.Start(sErrMsg)) { print "fanout_relayd: " + sErrMsg; exit 2; }
//   ... serve until SIGTERM ...
//   oHttp.Stop();  // event streams end cleanly, waiting lists answer
//
// With SConfig::m_sHttp "off" Start does nothing and succeeds. With a token set (oSecrets,
// which a reload may change), every /api/ request needs "Authorization: Bearer <token>"; the event
// stream, which a browser cannot give headers, also takes the token from the cookie "fanout_token".
// At most SConfig::m_dwHttpMaxConnections connections are held; beyond it a new one is
// closed at once.
#ifndef RELAYD_HTTP_HTTP_SERVER_H
#define RELAYD_HTTP_HTTP_SERVER_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "relayd/config/config.h"
#include "relayd/config/live_secrets.h"
#include "relayd/record/events.h"
#include "relayd/record/metrics.h"
#include "relayd/store/keyring.h"
#include "relayd/store/store.h"

namespace relayd {

struct SHttpContext;
struct SHttpServerState;
class CHttpListener;

class CHttpServer {
public:
    // fnWakeDelivery: called after a failed message went back to the queue.
    // fnListening: true once the channel ports listen (for /readyz). oKeys (the file's
    // keys for the key API) and oSecrets (the token) are those intake and delivery share.
    CHttpServer(const SConfig& oConfig, IStore& oStore, const CKeyRing& oKeys,
                const CLiveSecrets& oSecrets, CMetrics& oMetrics, CEventBus& oEvents,
                std::function<void()> fnWakeDelivery, std::function<bool()> fnListening);
    ~CHttpServer();  // Stop()
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Binds SConfig::m_sHttp ("ADDR:PORT", "[IPV6]:PORT"; port 0 picks a free one) and
    // serves on a thread of its own. False with one line in sErrMsg ("http: cannot
    // listen on 127.0.0.1:12464: Address already in use") when the address is bad or
    // cannot be bound. The configuration's rules (FinishConfig) decide beforehand whether
    // the address may be served without a token.
    bool Start(std::string& sErrMsg);
    // The port bound, 0 before Start or with "off".
    int Port() const { return m_iPort; }
    // Ends event streams and waiting lists, closes the port and every connection. Safe
    // to call twice.
    void Stop();

private:
    // Wakes waiting and streaming answers on each event, and every kRequeryMs.
    void RunWaker();
    void PostWake();

    std::unique_ptr<SHttpContext> m_pContext;
    std::unique_ptr<SHttpServerState> m_pState;
    std::unique_ptr<CHttpListener> m_pListener;
    std::thread m_oLoopThread;
    std::thread m_oWakerThread;
    std::atomic<bool> m_bWakePosted{false};
    std::atomic<bool> m_bQuit{false};
    int m_iPort = 0;
};

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_SERVER_H
