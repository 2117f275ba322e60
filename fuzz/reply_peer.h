// A server for the reply fuzz target: listens on 127.0.0.1 at an ephemeral port and serves one
// connection at a time from a thread of its own. Each connection gets the script armed for it:
// the peer reads the request frame, writes the script's pieces one by one (with a short pause
// between them, so that the client sees them in separate reads), and closes the connection.
// Every wait of the peer is bounded.
#ifndef FUZZ_REPLY_PEER_H
#define FUZZ_REPLY_PEER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace fuzz {

class CReplyPeer {
public:
    // The peer of the process, started on first use and never stopped.
    static CReplyPeer& Instance();

    uint16_t Port() const { return m_wPort; }

    // The pieces the next connection gets.
    void Arm(const std::vector<std::string>& vecPieces);
    // Waits at most nTimeoutMs until the armed connection has been served and closed; its
    // request frame (as far as it arrived) goes to sRequest.
    bool WaitServed(int nTimeoutMs, std::string& sRequest);

private:
    CReplyPeer();
    void Serve();
    bool TakeScript(std::vector<std::string>& vecPieces);
    void Served(const std::string& sRequest);

    int m_iListenFd = -1;
    uint16_t m_wPort = 0;
    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    std::vector<std::string> m_vecPieces;
    bool m_bArmed = false;
    bool m_bServed = false;
    std::string m_sRequest;
};

}  // namespace fuzz

#endif  // FUZZ_REPLY_PEER_H
