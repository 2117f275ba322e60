// The simulator's event loop: listening sockets for every address and channel port,
// and all client connections, served by one thread through epoll with non-blocking
// sockets and per-connection deadlines.
#ifndef RELAY_SIM_SIM_SERVER_H
#define RELAY_SIM_SIM_SERVER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sim_conn.h"
#include "sim_options.h"

namespace relay_sim {

class CRelaySim {
public:
    // Request lines go to pOut.
    CRelaySim(const SSimOptions& oOpts, FILE* pOut);
    ~CRelaySim();
    CRelaySim(const CRelaySim&) = delete;
    CRelaySim& operator=(const CRelaySim&) = delete;

    // Prepares the save folder and binds every address on the four channel ports.
    bool Listen(std::string& sErrMsg);
    // "fanout_relay_sim: listening on ADDR[, ADDR...] ports FIRST-LAST".
    std::string ReadyLine() const;
    // Serves until RequestStop(); false with sErrMsg if the event loop itself fails.
    bool Run(std::string& sErrMsg);
    // Makes Run() return soon. Safe in a signal handler and from another thread.
    void RequestStop();

private:
    struct SListener {
        int m_iFd;
        relay_proto::CHANNEL m_eChannel;
    };
    struct SConnSlot {
        std::unique_ptr<CSimConn> m_pConn;
        uint32_t m_dwEvents;      // what epoll watches for it now, 0 when not registered
        uint64_t m_ddwTimerAtMs;  // the deadline last put on the timer queue
    };
    typedef std::pair<uint64_t, uint64_t> TIMER;  // deadline ms, connection seq

    bool BindListener(const std::string& sAddr, relay_proto::CHANNEL eChannel,
                      std::string& sErrMsg);
    void AcceptFrom(const SListener& oListener, uint64_t ddwNowMs);
    void SetAccepting(bool bOn);
    void OnConnEvent(uint64_t ddwSeq, uint32_t dwEvents, uint64_t ddwNowMs);
    void RunTimers(uint64_t ddwNowMs);
    void Apply(uint64_t ddwSeq, CSimConn::WAIT eWait);
    int WaitTimeoutMs(uint64_t ddwNowMs) const;

    SSimOptions m_oOpts;
    FILE* m_pOut;
    int m_iEpollFd = -1;
    int m_iWakeFd = -1;
    std::vector<std::string> m_vecAddrs;  // the --listen addresses, each once
    std::vector<SListener> m_vecListeners;
    std::unordered_map<uint64_t, SConnSlot> m_mapConns;
    std::priority_queue<TIMER, std::vector<TIMER>, std::greater<TIMER>> m_oTimers;
    uint64_t m_ddwLastSeq = 0;
    bool m_bAccepting = false;
    uint64_t m_ddwAcceptResumeMs = 0;
};

}  // namespace relay_sim

#endif  // RELAY_SIM_SIM_SERVER_H
