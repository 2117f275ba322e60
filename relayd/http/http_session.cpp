#include "relayd/http/http_session.h"

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <chrono>
#include <exception>
#include <iterator>
#include <sstream>

#include "relayd/http/http_dispatch.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_target.h"

namespace relayd {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

// The read buffer holds a head (kMaxHeadBytes) or a piece of a body.
const size_t kBufferBytes = 64 * 1024;
// After a refusal the client's remaining bytes are read and thrown away for at most this
// long, so the answer is not lost to a reset.
const int64_t kLingerMs = 2000;

std::string Chunk(const std::string& sText) {
    static const char kHex[] = "0123456789abcdef";
    std::string sSize;
    for (size_t n = sText.size(); n > 0; n /= 16) {
        sSize.insert(sSize.begin(), kHex[n % 16]);
    }
    return sSize + "\r\n" + sText + "\r\n";
}

bool IsHangUp(const error_code& oError) {
    return oError == http::error::end_of_stream || oError == asio::error::eof ||
           oError == asio::error::connection_reset || oError == asio::error::broken_pipe;
}

}  // namespace

CHttpSession::CHttpSession(asio::ip::tcp::socket oSocket, SHttpServerState& oState)
    : m_oState(oState),
      m_oSocket(std::move(oSocket)),
      m_oTimer(oState.m_oIo),
      m_oBuffer(kBufferBytes) {
    ++m_oState.m_nConnections;
    m_oState.m_setSessions.insert(this);
}

CHttpSession::~CHttpSession() {
    --m_oState.m_nConnections;
    m_oState.m_setSessions.erase(this);
}

void CHttpSession::Start() {
    ReadHead();
}

void CHttpSession::ReadHead() {
    m_ePhase = PH_HEAD;
    m_bTimedOut = false;
    m_oParser.emplace();
    m_oParser->header_limit(kMaxHeadBytes);
    m_oParser->body_limit(kMaxBodyBytes);
    ArmTimer(kHeadTimeoutMs);
    auto pSelf = shared_from_this();
    http::async_read_header(m_oSocket, m_oBuffer, *m_oParser,
                            [pSelf](const error_code& oError, size_t) { pSelf->OnHead(oError); });
}

void CHttpSession::OnHead(const error_code& oError) {
    if (m_ePhase != PH_HEAD) {
        return;
    }
    if (m_bTimedOut) {
        // An idle kept-alive connection just ends; a head begun and not finished is told.
        if (m_oBuffer.size() == 0) {
            CloseNow();
        } else {
            Refuse(408, "the request head did not arrive within 10 s");
        }
        return;
    }
    if (oError == http::error::body_limit) {
        Refuse(413, "request body too large");  // its Content-Length says so
        return;
    }
    if (oError == http::error::header_limit || oError == http::error::buffer_overflow) {
        Refuse(431, "the request head is larger than 16 KiB");
        return;
    }
    if (oError) {
        if (IsHangUp(oError) || oError == asio::error::operation_aborted) {
            CloseNow();
        } else {
            Refuse(400, "malformed request");
        }
        return;
    }
    const auto& oHead = m_oParser->get();
    if (static_cast<size_t>(std::distance(oHead.begin(), oHead.end())) > kMaxHeaderLines) {
        Refuse(431, "the request head has more than 100 header lines");
        return;
    }
    if (m_oParser->content_length() && *m_oParser->content_length() > kMaxBodyBytes) {
        Refuse(413, "request body too large");
        return;
    }
    if (m_oParser->is_done()) {
        Handle();
        return;
    }
    if (beast::iequals(oHead[http::field::expect], "100-continue")) {
        // The client waits for this before it sends the body.
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        error_code oIgnored;  // a client that is gone fails the body's read next
        asio::write(m_oSocket, asio::buffer(kContinue, sizeof(kContinue) - 1), oIgnored);
    }
    ReadBody();
}

void CHttpSession::ReadBody() {
    m_ePhase = PH_BODY;
    ArmTimer(kBodyTimeoutMs);
    auto pSelf = shared_from_this();
    http::async_read(m_oSocket, m_oBuffer, *m_oParser,
                     [pSelf](const error_code& oError, size_t) { pSelf->OnBody(oError); });
}

void CHttpSession::OnBody(const error_code& oError) {
    if (m_ePhase != PH_BODY) {
        return;
    }
    if (m_bTimedOut) {
        Refuse(408, "the request body did not arrive in time");
    } else if (oError == http::error::body_limit) {
        Refuse(413, "request body too large");
    } else if (IsHangUp(oError) || oError == asio::error::operation_aborted) {
        CloseNow();
    } else if (oError) {
        Refuse(400, "malformed request");
    } else {
        Handle();
    }
}

void CHttpSession::Handle() {
    DisarmTimer();
    http::request<http::string_body>& oMessage = m_oParser->get();
    SHttpRequest oReq;
    oReq.m_sMethod = std::string(oMessage.method_string());
    for (const auto& oField : oMessage) {
        oReq.m_vecHeaders.emplace_back(std::string(oField.name_string()),
                                       std::string(oField.value()));
    }
    oReq.m_sBody = std::move(oMessage.body());
    m_bKeepAlive = oMessage.keep_alive();
    m_bHeadOnly = oReq.m_sMethod == "HEAD";
    std::string sErrMsg;
    if (!ParseTarget(std::string(oMessage.target()), oReq.m_sPath, oReq.m_mapParams, sErrMsg)) {
        Refuse(400, sErrMsg);
        return;
    }
    HandleRequest(m_oState.m_oContext, m_oState.m_oRouter, oReq, m_oRes);
    if (m_oRes.m_fnStreamTurn && !m_bHeadOnly) {
        StartStream();
    } else if (m_oRes.m_fnWaitTurn) {
        m_ePhase = PH_WAIT;
        m_oState.m_setWaking.insert(shared_from_this());
        Watch();
    } else {
        WriteAnswer();
    }
}

void CHttpSession::Refuse(int iStatus, const std::string& sText) {
    m_oRes = SHttpResponse();
    ReplyError(m_oRes, iStatus, sText);
    m_bKeepAlive = false;
    m_bHeadOnly = false;
    WriteAnswer();
}

void CHttpSession::WriteAnswer() {
    m_ePhase = PH_WRITE;
    AddStandardHeaders(m_oRes);
    http::response<http::string_body> oMessage;
    oMessage.result(static_cast<unsigned>(m_oRes.m_iStatus));
    oMessage.version(11);
    for (const auto& oHeader : m_oRes.m_vecHeaders) {
        oMessage.insert(oHeader.first, oHeader.second);
    }
    if (!m_oRes.m_sContentType.empty()) {
        oMessage.set(http::field::content_type, m_oRes.m_sContentType);
    }
    oMessage.keep_alive(m_bKeepAlive);
    if (m_bHeadOnly) {
        oMessage.content_length(m_oRes.m_sBody.size());
    } else {
        oMessage.body() = std::move(m_oRes.m_sBody);
        oMessage.prepare_payload();
    }
    m_oRes = SHttpResponse();
    // The whole answer as text: one buffer that lives until the write ends.
    std::ostringstream oText;
    oText << oMessage;
    m_sWriting = oText.str();
    ArmTimer(kWriteTimeoutMs);
    auto pSelf = shared_from_this();
    asio::async_write(m_oSocket, asio::buffer(m_sWriting),
                      [pSelf](const error_code& oError, size_t) { pSelf->OnWritten(oError); });
}

void CHttpSession::OnWritten(const error_code& oError) {
    if (m_ePhase != PH_WRITE) {
        return;
    }
    DisarmTimer();
    m_sWriting.clear();
    m_sWriting.shrink_to_fit();
    if (oError) {
        CloseNow();
    } else if (!m_bKeepAlive) {
        Linger();
    } else if (m_bWatching) {
        m_bReadAfterWatch = true;  // the watch's read ends first (OnWatch)
    } else {
        ReadHead();
    }
}

void CHttpSession::StartStream() {
    m_ePhase = PH_STREAM;
    AddStandardHeaders(m_oRes);
    http::response<http::empty_body> oHead;
    oHead.result(static_cast<unsigned>(m_oRes.m_iStatus));
    oHead.version(11);
    for (const auto& oHeader : m_oRes.m_vecHeaders) {
        oHead.insert(oHeader.first, oHeader.second);
    }
    oHead.set(http::field::content_type, m_oRes.m_sContentType);
    oHead.chunked(true);
    oHead.keep_alive(false);
    std::ostringstream oText;
    oText << oHead.base();
    m_sOut = oText.str();
    m_oState.m_setWaking.insert(shared_from_this());
    Watch();
    Wake();
}

void CHttpSession::Wake() {
    const auto pKeep = shared_from_this();  // Unregister may drop the last other owner
    try {
        if (m_ePhase == PH_WAIT) {
            SHttpResponse oAnswer;
            if (!m_oRes.m_fnWaitTurn(oAnswer)) {
                return;
            }
            Unregister();
            // Its headers (Cache-Control) stay; the waiting state goes, and its slot with it.
            oAnswer.m_vecHeaders.insert(oAnswer.m_vecHeaders.begin(), m_oRes.m_vecHeaders.begin(),
                                        m_oRes.m_vecHeaders.end());
            m_oRes = std::move(oAnswer);
            error_code oIgnored;
            m_oSocket.cancel(oIgnored);  // ends the watch
            WriteAnswer();
        } else if (m_ePhase == PH_STREAM && !m_bStreamEnding) {
            std::string sText;
            const bool bGoOn = m_oRes.m_fnStreamTurn(sText);
            AppendChunk(sText);
            if (!bGoOn) {
                m_bStreamEnding = true;
                m_sOut += "0\r\n\r\n";  // the last chunk: the stream ends cleanly
                Unregister();
            }
            Flush();
        }
    } catch (const std::exception&) {
        CloseNow();
    }
}

void CHttpSession::AppendChunk(const std::string& sText) {
    if (!sText.empty()) {
        m_sOut += Chunk(sText);
    }
}

void CHttpSession::Flush() {
    if (m_sOut.size() > kMaxStreamBacklog) {
        CloseNow();  // the client does not read
        return;
    }
    if (!m_sWriting.empty()) {
        return;  // OnStreamWritten comes back for the rest
    }
    if (m_sOut.empty()) {
        if (m_bStreamEnding) {
            Linger();
        }
        return;
    }
    m_sWriting.swap(m_sOut);
    ArmTimer(kWriteTimeoutMs);
    auto pSelf = shared_from_this();
    asio::async_write(
        m_oSocket, asio::buffer(m_sWriting),
        [pSelf](const error_code& oError, size_t) { pSelf->OnStreamWritten(oError); });
}

void CHttpSession::OnStreamWritten(const error_code& oError) {
    if (m_ePhase != PH_STREAM) {
        return;
    }
    DisarmTimer();
    m_sWriting.clear();
    if (oError) {
        CloseNow();
        return;
    }
    Flush();
}

// Reads while an answer waits or streams: a client that hangs up ends it at once. What
// a client sends meanwhile (the next request) is kept for later.
void CHttpSession::Watch() {
    if (m_oBuffer.size() >= kMaxHeadBytes) {
        return;  // enough kept: the rest waits in the socket
    }
    m_bWatching = true;
    auto pSelf = shared_from_this();
    m_oSocket.async_read_some(
        m_oBuffer.prepare(kMaxHeadBytes - m_oBuffer.size()),
        [pSelf](const error_code& oError, size_t nRead) { pSelf->OnWatch(oError, nRead); });
}

void CHttpSession::OnWatch(const error_code& oError, size_t nRead) {
    m_bWatching = false;
    m_oBuffer.commit(nRead);
    if (m_ePhase == PH_WAIT || m_ePhase == PH_STREAM) {
        if (oError) {
            CloseNow();  // the client left: its slot goes back now
        } else {
            if (m_ePhase == PH_STREAM) {
                m_oBuffer.consume(m_oBuffer.size());  // a stream takes no requests
            }
            Watch();
        }
    } else if (m_bReadAfterWatch) {
        m_bReadAfterWatch = false;
        ReadHead();
    }
}

void CHttpSession::Linger() {
    m_ePhase = PH_LINGER;
    m_oRes = SHttpResponse();  // a stream's slot goes back once its last chunk is out
    error_code oIgnored;
    m_oSocket.shutdown(asio::ip::tcp::socket::shutdown_send, oIgnored);
    ArmTimer(kLingerMs);
    Drain();
}

void CHttpSession::Drain() {
    auto pSelf = shared_from_this();
    m_oSocket.async_read_some(asio::buffer(m_aDiscard), [pSelf](const error_code& oError, size_t) {
        if (pSelf->m_ePhase != PH_LINGER) {
            return;
        }
        if (oError) {
            pSelf->CloseNow();
        } else {
            pSelf->Drain();
        }
    });
}

void CHttpSession::ArmTimer(int64_t llMs) {
    const uint32_t dwGeneration = ++m_dwTimerGeneration;
    m_oTimer.expires_after(std::chrono::milliseconds(llMs));
    auto pSelf = shared_from_this();
    m_oTimer.async_wait([pSelf, dwGeneration](const error_code& oError) {
        if (!oError && dwGeneration == pSelf->m_dwTimerGeneration) {
            pSelf->OnTimer();
        }
    });
}

void CHttpSession::DisarmTimer() {
    ++m_dwTimerGeneration;
    m_oTimer.cancel();
}

void CHttpSession::OnTimer() {
    if (m_ePhase == PH_HEAD || m_ePhase == PH_BODY) {
        m_bTimedOut = true;
        error_code oIgnored;
        m_oSocket.cancel(oIgnored);  // the read ends; OnHead or OnBody answers 408
    } else {
        CloseNow();
    }
}

void CHttpSession::Unregister() {
    auto it =
        std::find_if(m_oState.m_setWaking.begin(), m_oState.m_setWaking.end(),
                     [this](const std::shared_ptr<CHttpSession>& p) { return p.get() == this; });
    if (it != m_oState.m_setWaking.end()) {
        m_oState.m_setWaking.erase(it);
    }
}

void CHttpSession::CloseNow() {
    if (m_ePhase == PH_CLOSED) {
        return;
    }
    const auto pKeep = shared_from_this();  // Unregister may drop the last other owner
    m_ePhase = PH_CLOSED;
    DisarmTimer();
    error_code oIgnored;
    m_oSocket.close(oIgnored);
    m_oRes = SHttpResponse();  // a stream's or a waiting list's slot goes back now
    Unregister();
}

}  // namespace relayd
