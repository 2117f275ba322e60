// The HTTP side's set-up: Debian's cpp-httplib serves it. Its installed header holds
// only declarations (the definitions are in libcpp-httplib.so, built with OpenSSL, zlib
// and brotli), so the relay links the shared library with the library's own compile
// flags from pkg-config: the header's structures change with them.
#include "relayd/http/http_server.h"

#include <sys/socket.h>
#include "relayd/http/http_lib.h"
#include "relayd/record/clock.h"

#include <cerrno>
#include <cstring>

#include "relay_proto/hex.h"
#include "relayd/config/network.h"
#include "relayd/http/http_context.h"
#include "relayd/http/http_guard.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"

namespace relayd {

namespace {

// Largest request body (a key registration is a few hundred bytes).
const size_t kMaxBodyBytes = 64 * 1024;
// An idle kept-alive connection holds a worker thread; a short keep-alive frees it soon,
// also at shutdown.
const time_t kKeepAliveSeconds = 2;
const time_t kReadTimeoutSeconds = 5;
const time_t kWriteTimeoutSeconds = 10;
// Shutdown: how long event streams and waiting lists get to end their answers.
const int64_t kStopGraceMs = 2000;
// The stream's cookie (the token's bytes in hex): EventSource cannot send an
// Authorization header.
const char kTokenCookie[] = "fanout_token";

// Pages load their own scripts and styles only; pictures may also come from blob: URLs
// (the message image, fetched with the token).
const char kContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

bool StartsWith(const std::string& sText, const char* szPrefix) {
    return sText.compare(0, strlen(szPrefix), szPrefix) == 0;
}

bool Authorized(const std::string& sToken, const httplib::Request& oReq) {
    std::string sGiven;
    if (BearerToken(oReq.get_header_value("Authorization"), sGiven)) {
        // This cpp-httplib percent-decodes header values as it reads them ("%41" arrives
        // as "A"): a token holding '%' is also compared as the library decodes it.
        return TokensEqual(sGiven, sToken) ||
               TokensEqual(sGiven, httplib::detail::decode_url(sToken, false));
    }
    std::string sHex;
    return oReq.path == "/api/v1/events" &&
           CookieValue(oReq.get_header_value("Cookie"), kTokenCookie, sHex) &&
           relay_proto::HexDecode(sHex, sGiven) && TokensEqual(sGiven, sToken);
}

// Runs before every route: keeps other web sites and callers without the token out.
httplib::Server::HandlerResponse Guard(const SConfig& oConfig, const httplib::Request& oReq,
                                       httplib::Response& oRes) {
    const std::string sHost = oReq.get_header_value("Host");
    const bool bApi = StartsWith(oReq.path, "/api/");
    if (bApi) {
        oRes.set_header("Cache-Control", "no-store");
    }
    // Without a token the relay listens on loopback only; a page of another site that
    // reaches it through a DNS name of its own must not read the inbox.
    if (oConfig.m_sHttpToken.empty() && !sHost.empty() && !HostHeaderAllowed(sHost)) {
        ReplyError(oRes, 400, "this relay answers to its IP address or localhost only");
        return httplib::Server::HandlerResponse::Handled;
    }
    // A page of another site may post to the relay but then names itself in Origin.
    if (oReq.method != "GET" && oReq.method != "HEAD" && oReq.has_header("Origin") &&
        !OriginMatchesHost(oReq.get_header_value("Origin"), sHost)) {
        ReplyError(oRes, 403, "requests from other sites' pages are refused");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (bApi && !oConfig.m_sHttpToken.empty() && !Authorized(oConfig.m_sHttpToken, oReq)) {
        oRes.set_header("WWW-Authenticate", "Bearer");
        ReplyError(oRes, 401, "this relay needs its token: Authorization: Bearer <token>");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// Fills the body of an error the library answered by itself (no route, body too big).
void FillError(const httplib::Request&, httplib::Response& oRes) {
    if (!oRes.body.empty()) {
        return;
    }
    const char* szText = "request refused";
    if (oRes.status == 404) {
        szText = "not found";
    } else if (oRes.status == 413) {
        szText = "request body too large";
    } else if (oRes.status == 400) {
        szText = "malformed request";
    }
    ReplyError(oRes, oRes.status, szText);
}

// The library's own socket options add SO_REUSEPORT, which would let a second relay
// bind the same port without an error: only SO_REUSEADDR here.
void SocketOptions(int iSocket) {
    int iYes = 1;
    setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &iYes, sizeof(iYes));
}

}  // namespace

CHttpServer::CHttpServer(const SConfig& oConfig, IStore& oStore, CMetrics& oMetrics,
                         CEventBus& oEvents, std::function<void()> fnWakeDelivery,
                         std::function<bool()> fnListening)
    : m_pContext(new SHttpContext{oConfig, oStore, oMetrics, oEvents, std::move(fnWakeDelivery),
                                  std::move(fnListening)}) {}

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
    int iPort = oAddress.m_wPort;

    m_pServer.reset(new httplib::Server);  // (its constructor ignores SIGPIPE, process-wide)
    httplib::Server& oServer = *m_pServer;
    oServer.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    oServer.set_payload_max_length(kMaxBodyBytes);
    oServer.set_keep_alive_timeout(kKeepAliveSeconds);
    oServer.set_read_timeout(kReadTimeoutSeconds);
    oServer.set_write_timeout(kWriteTimeoutSeconds);
    oServer.set_socket_options(SocketOptions);
    oServer.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                 {"Referrer-Policy", "no-referrer"},
                                 {"Content-Security-Policy", kContentSecurityPolicy},
                                 {"X-Frame-Options", "DENY"}});
    oServer.set_pre_routing_handler(
        [&oConfig](const httplib::Request& oReq, httplib::Response& oRes) {
            return Guard(oConfig, oReq, oRes);
        });
    oServer.set_error_handler(FillError);
    AddMessageRoutes(oServer, *m_pContext);
    AddKeyRoutes(oServer, *m_pContext);
    AddEventRoutes(oServer, *m_pContext);
    AddPageRoutes(oServer);
    AddProbeRoutes(oServer, *m_pContext);

    errno = 0;
    bool bBound = false;
    if (iPort == 0) {
        iPort = oServer.bind_to_any_port(sHost);
        bBound = iPort > 0;
    } else {
        bBound = oServer.bind_to_port(sHost, iPort);
    }
    if (!bBound) {
        sErrMsg = "http: cannot listen on " + oConfig.m_sHttp + ": " +
                  (errno != 0 ? strerror(errno) : "cannot bind");
        m_pServer.reset();
        return false;
    }
    m_iPort = iPort;
    m_oThread = std::thread([this] { m_pServer->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    const int64_t llDeadlineMs = MonotonicNowMs() + kStopGraceMs;
    while (!oServer.is_running() && MonotonicNowMs() < llDeadlineMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void CHttpServer::Stop() {
    if (!m_pServer) {
        return;
    }
    m_pContext->m_bStopping = true;
    const int64_t llDeadlineMs = MonotonicNowMs() + kStopGraceMs;
    while (m_pContext->m_nLongHandlers > 0 && MonotonicNowMs() < llDeadlineMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pServer->stop();
    m_oThread.join();
    m_pServer.reset();
}

}  // namespace relayd
