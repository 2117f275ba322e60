// The delivery test peers (tests/peers/smtp_peer.py, http_peer.py) as child processes:
// start one on a free loopback port, script its answers, read what it received.
#ifndef FANOUT_TESTS_PEER_PROCESS_H
#define FANOUT_TESTS_PEER_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace test_support {

class CPeerProcess {
public:
    enum KIND { PK_SMTP, PK_HTTP };

    explicit CPeerProcess(KIND eKind) : m_eKind(eKind) {}
    CPeerProcess(const CPeerProcess&) = delete;
    CPeerProcess& operator=(const CPeerProcess&) = delete;
    ~CPeerProcess();

    // Starts the peer with these extra options ("--port", "N" to take a given port) and
    // waits for its ready line.
    bool Start(const std::vector<std::string>& vecArgs = {});
    uint16_t Port() const { return m_wPort; }
    // "smtp://127.0.0.1:PORT" or "http://127.0.0.1:PORT/hook".
    std::string Url() const;
    // One command ("reply 451 2", "stall 3") acknowledged by the peer.
    bool Command(const std::string& sLine);
    // The next message (SMTP) or request (HTTP) the peer reports; null when none comes
    // within iTimeoutMs.
    nlohmann::json NextEvent(int iTimeoutMs = 5000);
    // {"received": R, "accepted": A}; null when the peer does not answer.
    nlohmann::json Count();
    // SIGKILL, as a crashed peer.
    void Kill();

private:
    // The next line of the given kind; lines of the other kind are kept for later.
    nlohmann::json NextOf(bool bControl, int iTimeoutMs);

    KIND m_eKind;
    pid_t m_iPid = -1;
    int m_iIn = -1;
    int m_iOut = -1;
    uint16_t m_wPort = 0;
    std::string m_sOut;
    std::deque<nlohmann::json> m_deqEvents;
    std::deque<nlohmann::json> m_deqControl;
};

}  // namespace test_support

#endif  // FANOUT_TESTS_PEER_PROCESS_H
