// Listening sockets for every listen address on the four channel ports, served by an
// event loop: connections are accepted in bursts and handed over with their channel
// and the far end's address (the near end's costs a system call; LocalAddressText reads it
// for whoever needs it).
//
// Accepting pauses for a moment when the process runs out of descriptors; that is logged
// once until a connection is accepted again, not at every pause.
#ifndef RELAY_NET_LISTENERS_H
#define RELAY_NET_LISTENERS_H

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "relay_net/event_loop.h"
#include "relay_proto/channel.h"

namespace relay_net {

// The far end of a connection.
struct SPeer {
    sockaddr_storage m_oAddr;
    std::string m_sText;  // "127.0.0.1:53422" or "[::1]:53422"
};

// An accepted connection: a non-blocking socket with TCP_NODELAY, owned by whoever
// takes it.
struct SAccepted {
    int m_iFd = -1;
    relay_proto::CHANNEL m_eChannel = relay_proto::CH_MAIL;
    SPeer m_oPeer;
};

class CListeners {
public:
    typedef std::function<void(SAccepted&& oConn)> ACCEPT_HANDLER;
    // A line for the owner's log: accept failures and pauses.
    typedef std::function<void(const std::string& sMsg)> LOG_FN;

    explicit CListeners(CEventLoop& oLoop) : m_oLoop(oLoop) {}
    ~CListeners();
    CListeners(const CListeners&) = delete;
    CListeners& operator=(const CListeners&) = delete;

    // Binds every address of vecAddrs (IPv4 or IPv6 literals; repeats count once) on
    // the channel ports moved by nPortOffset. False with a text such as "cannot listen
    // on [::1]:12463 (sms): Address already in use"; what was bound stays bound.
    bool Listen(const std::vector<std::string>& vecAddrs, int nPortOffset, std::string& sErrMsg);
    // The addresses bound, each once, in the order given.
    const std::vector<std::string>& Addresses() const { return m_vecAddrs; }

    void SetLog(LOG_FN fnLog) { m_fnLog = std::move(fnLog); }

    // Starts accepting; every connection goes to fnAccept.
    bool Start(ACCEPT_HANDLER fnAccept, std::string& sErrMsg);
    // Stops accepting and closes the listening sockets.
    void Close();

private:
    struct SListener {
        int m_iFd;
        relay_proto::CHANNEL m_eChannel;
    };

    bool Bind(const std::string& sAddr, relay_proto::CHANNEL eChannel, int nPortOffset,
              std::string& sErrMsg);
    void AcceptFrom(const SListener& oListener);
    void Hand(int iFd, const sockaddr_storage& oPeer, relay_proto::CHANNEL eChannel);
    void CloseSocket(int iFd);
    bool SetWatching(bool bOn);
    void Pause();
    void Log(const std::string& sMsg);

    CEventLoop& m_oLoop;
    std::vector<std::string> m_vecAddrs;
    std::vector<SListener> m_vecListeners;
    ACCEPT_HANDLER m_fnAccept;
    LOG_FN m_fnLog;
    bool m_bWatching = false;
    bool m_bOutOfResources = false;  // logged; cleared by the next accepted connection
    uint64_t m_ddwResumeTimer = 0;
};

}  // namespace relay_net

#endif  // RELAY_NET_LISTENERS_H
