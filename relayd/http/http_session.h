// One HTTP connection of the relay, driven by the server's single event loop (Boost.Asio
// and Boost.Beast's parser): nothing here blocks, so a client that is slow, stalled or
// sends too much holds up only its own connection.
//
// Per request: the head must arrive within kHeadTimeoutMs and fit kMaxHeadBytes and
// kMaxHeaderLines (else 408 or 431, and the connection closes), a body may hold
// kMaxBodyBytes (else 413) and must arrive within kBodyTimeoutMs (else 408). An answer
// that waits (a list with wait=) or streams (the events) stays registered with the
// server, which wakes it (Wake); meanwhile the connection is watched, so a client that
// hangs up ends it and gives its slot back at once.
#ifndef RELAYD_HTTP_HTTP_SESSION_H
#define RELAYD_HTTP_HTTP_SESSION_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/optional.hpp>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "relayd/http/http_context.h"
#include "relayd/http/http_lib.h"
#include "relayd/http/http_router.h"

namespace relayd {

// Limits that hold whatever a client sends.
const size_t kMaxHeadBytes = 16 * 1024;
const size_t kMaxHeaderLines = 100;
const size_t kMaxBodyBytes = 1024 * 1024;
const int64_t kHeadTimeoutMs = 10 * 1000;
const int64_t kBodyTimeoutMs = 30 * 1000;
// A client that takes no part of an answer for this long is dropped.
const int64_t kWriteTimeoutMs = 30 * 1000;
// Text of an event stream waiting for a client that does not read: beyond it, dropped.
const size_t kMaxStreamBacklog = 1024 * 1024;

class CHttpSession;

// What the server's sessions share; used on the event loop's thread only.
struct SHttpServerState {
    explicit SHttpServerState(SHttpContext& oContext) : m_oContext(oContext) {}

    SHttpContext& m_oContext;
    CHttpRouter m_oRouter;
    size_t m_nConnections = 0;
    std::set<CHttpSession*> m_setSessions;                // every open one
    std::set<std::shared_ptr<CHttpSession>> m_setWaking;  // waiting or streaming
    boost::asio::io_context m_oIo;  // last: destroyed first, with the sessions it holds
};

class CHttpSession : public std::enable_shared_from_this<CHttpSession> {
public:
    CHttpSession(boost::asio::ip::tcp::socket oSocket, SHttpServerState& oState);
    ~CHttpSession();
    CHttpSession(const CHttpSession&) = delete;
    CHttpSession& operator=(const CHttpSession&) = delete;

    void Start();
    // Gives a waiting or streaming answer its turn.
    void Wake();
    // Drops the connection (the server stops).
    void CloseNow();

private:
    enum PHASE { PH_HEAD, PH_BODY, PH_WAIT, PH_STREAM, PH_WRITE, PH_LINGER, PH_CLOSED };

    void ReadHead();
    void OnHead(const boost::system::error_code& oError);
    void ReadBody();
    void OnBody(const boost::system::error_code& oError);
    void Handle();
    void Refuse(int iStatus, const std::string& sText);
    void WriteAnswer();
    void OnWritten(const boost::system::error_code& oError);
    void StartStream();
    void AppendChunk(const std::string& sText);
    void Flush();
    void OnStreamWritten(const boost::system::error_code& oError);
    void Watch();
    void OnWatch(const boost::system::error_code& oError, size_t nRead);
    // Closes once the client has read the answer: stops sending, throws away what the
    // client still sends, for at most kLingerMs.
    void Linger();
    void Drain();
    void ArmTimer(int64_t llMs);
    void DisarmTimer();
    void OnTimer();
    void Unregister();

    SHttpServerState& m_oState;
    boost::asio::ip::tcp::socket m_oSocket;
    boost::asio::steady_timer m_oTimer;
    uint32_t m_dwTimerGeneration = 0;
    boost::beast::flat_buffer m_oBuffer;
    boost::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_oParser;
    PHASE m_ePhase = PH_HEAD;
    bool m_bTimedOut = false;
    bool m_bKeepAlive = false;
    bool m_bHeadOnly = false;  // a HEAD request: the answer's head only
    bool m_bWatching = false;
    bool m_bReadAfterWatch = false;
    bool m_bStreamEnding = false;
    SHttpResponse m_oRes;
    std::string m_sOut;      // waiting to be written
    std::string m_sWriting;  // being written
    char m_aDiscard[4096];
};

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_SESSION_H
