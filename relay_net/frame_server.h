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
//
// Limits that hold whatever peers send:
// - a peer the owner does not admit (Admit() false) has its frame read and dropped as it
//   arrives; the owner sees only its first bytes, to answer it;
// - the frames in progress or awaiting their reply hold at most m_ddwMaxPending bytes,
//   counted from each frame's announced length before its body is read; a frame that
//   would pass that ends its connection without a reply, unless another address holds
//   more of them than the newcomer's would: then that address's oldest frames still
//   arriving make room;
// - one address holds at most m_nMaxConnsPerPeer connections: its next ones are closed
//   at once;
// - beyond m_nMaxConns connections a new one is closed at once, unless another address
//   holds more connections than the newcomer's: then that address's oldest connection
//   still reading makes room, so one address cannot lock out the others.
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
    size_t m_nMaxConnsPerPeer = 0;        // from one address; 0: no bound
    uint64_t m_ddwMaxPending = 0;         // bytes of frames held at once; 0: no bound
    size_t m_nDroppedKeep = 0;            // payload bytes kept of a frame not admitted
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
    CR_OVER_BUDGET,    // its frame would pass m_ddwMaxPending
    CR_EVICTED,        // closed to make room for another address's connection
};

// "replied", "closed", "peer-closed", "bad-frame", "read-timeout", "write-timeout",
// "io-error", "shutdown", "over-budget", "evicted".
const char* CloseReasonName(CLOSE_REASON eReason);

// What the owner of a CFrameServer is told. Calls come on the loop's thread; each may
// call Reply() and Close().
class IFrameHandler {
public:
    virtual ~IFrameHandler() = default;
    // Asked once per connection, before OnConnOpen(). False: its frame is read and dropped
    // as it arrives, and OnFrame() gets only the first m_nDroppedKeep bytes of its payload.
    virtual bool Admit(const SPeer& /*oPeer*/) { return true; }
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
    uint64_t RefusedCount() const { return m_ddwRefused; }
    // Connections closed at once because their address held m_nMaxConnsPerPeer.
    uint64_t PeerRefusedCount() const { return m_ddwPeerRefused; }
    // Frame bytes held now, as announced by the frames' lengths.
    uint64_t PendingBytes() const { return m_ddwPending; }

    // Stops accepting, then runs the loop until the connections in flight have ended
    // or ddwGraceMs has passed, and closes the rest (CR_SHUTDOWN). Call it after Run()
    // returned; a RequestStop() meanwhile cuts the grace short. False with sErrMsg
    // when the loop fails.
    bool Shutdown(uint64_t ddwGraceMs, std::string& sErrMsg);

private:
    struct SConn;

    void OnAccepted(SAccepted&& oAccepted);
    // What one address holds.
    struct SPeerUse {
        size_t m_nConns = 0;
        uint64_t m_ddwPending = 0;
    };

    // True when the new connection from sHostKey may be taken: there is room, or the
    // oldest connection still reading of an address holding more was ended for it.
    bool MakeRoom(const std::string& sHostKey);
    // Ends the oldest connection still reading (and holding budget, with bBytes) of the
    // address that holds the most connections (or bytes), when that is more than ddwOwn
    // + ddwMore. False when no address holds that much.
    bool Evict(bool bBytes, uint64_t ddwOwn, uint64_t ddwMore);
    // Reserves the frame's announced length; ends the connection and returns false when
    // that would pass the budget and no other address gives way.
    bool Reserve(uint64_t ddwConnId, SConn& oConn);
    void Release(SConn& oConn);
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
    std::unordered_map<std::string, SPeerUse> m_mapPeers;  // by HostKey()
    uint64_t m_ddwLastConnId = 0;
    uint64_t m_ddwPending = 0;
    uint64_t m_ddwRefused = 0;
    uint64_t m_ddwPeerRefused = 0;
    bool m_bStopping = false;
};

}  // namespace relay_net

#endif  // RELAY_NET_FRAME_SERVER_H
