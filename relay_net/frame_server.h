// A server that takes one request frame per connection and answers it with at most one
// reply frame, every step bounded in time:
//
//   accept -> read one whole frame (read deadline) -> owner's OnFrame()
//          -> owner's Reply() -> write the reply frame (write deadline) -> close
//
// A broken frame, a peer that closes early or a read deadline ends the connection
// without a reply. The owner answers when it likes, also from a task posted to the loop
// by another thread; a Reply() or Close() for a connection that has ended meanwhile is
// ignored. Connection ids count up from 1 and are never reused. Memory grows with the
// bytes received, never with the length a frame announces.
#ifndef RELAY_NET_FRAME_SERVER_H
#define RELAY_NET_FRAME_SERVER_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay_net/event_loop.h"
#include "relay_net/listeners.h"
#include "relay_proto/channel.h"

namespace relay_net {

struct SFrameServerConfig {
    std::vector<std::string> m_vecListen;  // IPv4 or IPv6 literals
    int m_nPortOffset = 0;
    uint32_t m_dwMaxFrame = 64u << 20;    // the largest request frame taken, in bytes
    uint32_t m_dwReadTimeoutMs = 10000;   // from accept to the whole frame
    uint32_t m_dwWriteTimeoutMs = 10000;  // from Reply() to the whole reply sent
    size_t m_nMaxConns = 0;               // 0: no bound
};

// Why a connection ended.
enum CLOSE_REASON {
    CR_REPLIED,        // the reply was sent
    CR_CLOSED,         // the owner closed it without a reply
    CR_PEER_CLOSED,    // the peer closed before a whole frame
    CR_BAD_FRAME,      // not a frame, a frame over the limit, or a wrong last byte
    CR_READ_TIMEOUT,   // no whole frame within the read deadline
    CR_WRITE_TIMEOUT,  // the reply not taken within the write deadline
    CR_IO_ERROR,       // a socket call failed
    CR_SHUTDOWN,       // still open when the server stopped
};

// "replied", "closed", "peer-closed", "bad-frame", "read-timeout", "write-timeout",
// "io-error", "shutdown".
const char* CloseReasonName(CLOSE_REASON eReason);

// What the owner of a CFrameServer is told. Calls come on the loop's thread; each may
// call Reply() and Close().
class IFrameHandler {
public:
    virtual ~IFrameHandler() = default;
    // A whole request frame's payload from connection ddwConnId.
    virtual void OnFrame(uint64_t ddwConnId, relay_proto::CHANNEL eChannel, const SPeer& oPeer,
                         std::string&& sPayload) = 0;
    virtual void OnConnOpen(uint64_t /*ddwConnId*/, relay_proto::CHANNEL /*eChannel*/,
                            const SPeer& /*oPeer*/) {}
    // sDetail says more for a failure ("recv: Connection reset by peer"...), else empty.
    virtual void OnConnClose(uint64_t /*ddwConnId*/, CLOSE_REASON /*eReason*/,
                             const std::string& /*sDetail*/) {}
    // A failure that is no single connection's: accept pauses, epoll failures.
    virtual void OnLog(const std::string& /*sMsg*/) {}
};

class CFrameServer {
public:
    CFrameServer(CEventLoop& oLoop, const SFrameServerConfig& oConfig, IFrameHandler& oHandler);
    // Closes what is still open, without calling the handler.
    ~CFrameServer();
    CFrameServer(const CFrameServer&) = delete;
    CFrameServer& operator=(const CFrameServer&) = delete;

    // Binds every address on the four channel ports and starts accepting. False with
    // sErrMsg ("cannot listen on 127.0.0.1:12463 (sms): Address already in use").
    bool Listen(std::string& sErrMsg);
    const std::vector<std::string>& Addresses() const { return m_oListeners.Addresses(); }

    // Frames sPackage, sends it and closes the connection. Ignored unless ddwConnId is
    // open and its frame was handed to OnFrame() without a reply yet.
    void Reply(uint64_t ddwConnId, const std::string& sPackage);
    // Closes the connection without a reply. Ignored when it has ended.
    void Close(uint64_t ddwConnId);

    // Connections open now.
    size_t ConnCount() const { return m_mapConns.size(); }
    // Connections closed at once because m_nMaxConns were open.
    uint64_t RefusedCount() const { return m_oListeners.RefusedCount(); }

    // Stops accepting, then runs the loop until the connections in flight have ended
    // or ddwGraceMs has passed, and closes the rest (CR_SHUTDOWN). Call it after Run()
    // returned; a RequestStop() meanwhile cuts the grace short. False with sErrMsg
    // when the loop fails.
    bool Shutdown(uint64_t ddwGraceMs, std::string& sErrMsg);

private:
    struct SConn;

    void OnAccepted(SAccepted&& oAccepted);
    void OnEvent(uint64_t ddwConnId);
    void OnDeadline(uint64_t ddwConnId);
    void ReadRequest(uint64_t ddwConnId, SConn& oConn);
    void WriteReply(uint64_t ddwConnId, SConn& oConn);
    void Drain(uint64_t ddwConnId, SConn& oConn);
    // Watches for dwEvents; ends the connection and returns false when that fails.
    bool SetEvents(uint64_t ddwConnId, SConn& oConn, uint32_t dwEvents);
    // Moves the connection's deadline to ddwAtMs; 0: none.
    void SetDeadline(uint64_t ddwConnId, SConn& oConn, uint64_t ddwAtMs);
    void End(uint64_t ddwConnId, CLOSE_REASON eReason, const std::string& sDetail);
    void Log(const std::string& sMsg) { m_oHandler.OnLog(sMsg); }

    CEventLoop& m_oLoop;
    SFrameServerConfig m_oConfig;
    IFrameHandler& m_oHandler;
    CListeners m_oListeners;
    std::unordered_map<uint64_t, std::unique_ptr<SConn>> m_mapConns;
    uint64_t m_ddwLastConnId = 0;
    bool m_bStopping = false;
};

}  // namespace relay_net

#endif  // RELAY_NET_FRAME_SERVER_H
