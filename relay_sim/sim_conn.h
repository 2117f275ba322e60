// One client connection of the simulator: read one request frame, report it as a JSON
// line, then act as the options say (reply, close, reset, raw bytes), each step bounded
// in time. The socket is non-blocking; the event loop calls the On... methods and waits
// for what they return.
#ifndef RELAY_SIM_SIM_CONN_H
#define RELAY_SIM_SIM_CONN_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "relay_proto/channel.h"
#include "relay_proto/frame.h"
#include "relay_sim/sim_json.h"
#include "relay_sim/sim_options.h"

namespace relay_sim {

class CSimConn {
public:
    // What the connection waits for next; every wait also ends at Deadline().
    enum WAIT { CW_READ, CW_WRITE, CW_TIMER, CW_DONE };

    // Takes ownership of the connected socket iFd; lines go to pOut.
    CSimConn(int iFd, relay_proto::CHANNEL eChannel, uint64_t ddwSeq, const std::string& sLocal,
             const std::string& sPeer, const SSimOptions& oOpts, FILE* pOut);
    ~CSimConn();
    CSimConn(const CSimConn&) = delete;
    CSimConn& operator=(const CSimConn&) = delete;

    WAIT Start(uint64_t ddwNowMs);
    WAIT OnReadable(uint64_t ddwNowMs);
    WAIT OnWritable(uint64_t ddwNowMs);
    WAIT OnDeadline(uint64_t ddwNowMs);
    // Ends the connection with sError as its line, when the server cannot serve it.
    WAIT Abort(const std::string& sError) { return Fail(sError); }

    int Fd() const { return m_iFd; }
    // Steady-clock milliseconds at which the current wait ends.
    uint64_t Deadline() const { return m_ddwDeadlineMs; }

private:
    enum STATE { ST_READING, ST_NO_READ, ST_DELAY, ST_WRITING, ST_CHUNK_PAUSE, ST_DRAINING };

    WAIT ReadRequest(uint64_t ddwNowMs);
    WAIT OnFrameDone(relay_proto::CFrameReader::STATUS eStatus, uint64_t ddwNowMs);
    void DescribeRequest(JSON_OBJ& oLine);
    WAIT AfterRequest(uint64_t ddwNowMs);
    WAIT Act(uint64_t ddwNowMs);
    WAIT StartWriting(std::string sOut, uint64_t ddwNowMs);
    WAIT WriteReply(uint64_t ddwNowMs);
    WAIT Drain();
    WAIT Fail(const std::string& sError);

    JSON_OBJ NewLine() const;
    void AddAction(JSON_OBJ& oLine) const;
    void Emit(const JSON_OBJ& oLine);

    int m_iFd;
    relay_proto::CHANNEL m_eChannel;
    uint64_t m_ddwSeq;
    std::string m_sLocal;
    std::string m_sPeer;
    const SSimOptions& m_oOpts;
    FILE* m_pOut;
    STATE m_eState = ST_READING;
    uint64_t m_ddwStartMs = 0;
    uint64_t m_ddwDeadlineMs = 0;
    relay_proto::CFrameReader m_oReader;
    uint32_t m_dwReplyResult = 0;
    std::string m_sOut;
    size_t m_nOutPos = 0;
    size_t m_nChunkLeft = 0;
};

}  // namespace relay_sim

#endif  // RELAY_SIM_SIM_CONN_H
