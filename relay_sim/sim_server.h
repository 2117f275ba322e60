// The simulator's server: relay_net's listeners for every address and channel port,
// and all client connections, served by one event loop thread with non-blocking
// sockets and per-connection deadlines.
#ifndef RELAY_SIM_SIM_SERVER_H
#define RELAY_SIM_SIM_SERVER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>

#include "relay_net/event_loop.h"
#include "relay_net/listeners.h"
#include "relay_sim/sim_conn.h"
#include "relay_sim/sim_options.h"

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
    bool Run(std::string& sErrMsg) { return m_oLoop.Run(sErrMsg); }
    // Makes Run() return soon. Safe in a signal handler and from another thread.
    void RequestStop() { m_oLoop.RequestStop(); }

private:
    struct SConnSlot {
        std::unique_ptr<CSimConn> m_pConn;
        uint32_t m_dwEvents = 0;      // what the loop watches for it now
        uint64_t m_ddwTimerId = 0;    // its deadline's timer
        uint64_t m_ddwTimerAtMs = 0;  // when that timer runs
    };

    void OnAccepted(relay_net::SAccepted&& oAccepted);
    void OnConnEvent(uint64_t ddwSeq);
    void OnDeadline(uint64_t ddwSeq);
    void Apply(uint64_t ddwSeq, CSimConn::WAIT eWait);
    void Remove(uint64_t ddwSeq);

    SSimOptions m_oOpts;
    FILE* m_pOut;
    relay_net::CEventLoop m_oLoop;
    relay_net::CListeners m_oListeners;
    std::unordered_map<uint64_t, SConnSlot> m_mapConns;
    uint64_t m_ddwLastSeq = 0;
};

}  // namespace relay_sim

#endif  // RELAY_SIM_SIM_SERVER_H
