// The relay simulator as a child process, for tests that talk to it over loopback.
#ifndef FANOUT_TESTS_SIM_PROCESS_H
#define FANOUT_TESTS_SIM_PROCESS_H

#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "relay_proto/channel.h"

namespace test_support {

typedef std::chrono::steady_clock CLOCK;

long MsSince(CLOCK::time_point tStart);

// Appends what fd offers to sBuf until bDone(sBuf), EOF or the deadline. A failed read
// leaves its errno in *pReadErrno.
template <typename DONE>
bool ReadUntil(int iFd, std::string& sBuf, CLOCK::time_point tDeadline, DONE bDone,
               int* pReadErrno = nullptr) {
    while (!bDone(sBuf)) {
        const long lLeft = -MsSince(tDeadline);
        pollfd oPoll = {iFd, POLLIN, 0};
        if (lLeft <= 0 || poll(&oPoll, 1, static_cast<int>(lLeft)) <= 0) {
            return false;
        }
        char szBuf[65536];
        const ssize_t n = read(iFd, szBuf, sizeof(szBuf));
        if (n <= 0) {
            if (n < 0 && pReadErrno != nullptr) {
                *pReadErrno = errno;
            }
            return bDone(sBuf);
        }
        sBuf.append(szBuf, static_cast<size_t>(n));
    }
    return true;
}

// fanout_relay_sim as a child process with its standard output and error on pipes.
class CSimProcess {
public:
    CSimProcess() = default;
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;
    ~CSimProcess();

    // Starts on a port offset of its own (another one when the ports are taken) and
    // waits for the readiness line.
    bool Start(const std::vector<std::string>& vecArgs);
    // Starts with exactly these arguments (the fixed channel ports unless they say
    // otherwise) and waits for the readiness line.
    bool StartAsIs(const std::vector<std::string>& vecArgs);

    uint16_t Port(relay_proto::CHANNEL eChannel) const {
        return relay_proto::ChannelPort(eChannel, m_nOffset);
    }
    int Offset() const { return m_nOffset; }
    const std::string& Stderr() const { return m_sErr; }

    // The line about connection ddwSeq, parsed; null when none comes in time. Lines of
    // other connections read meanwhile are kept for later calls.
    nlohmann::json LineOf(uint64_t ddwSeq, int iTimeoutMs = 5000);
    // The next line on its standard output, parsed; null when none comes in time.
    nlohmann::json NextLine(int iTimeoutMs = 5000);
    // SIGTERM, then its exit status (128 + signal when killed, -1 when it hangs).
    int Stop();

private:
    pid_t m_iPid = -1;
    int m_iOut = -1;
    int m_iErr = -1;
    int m_nOffset = 0;
    std::string m_sOut;
    std::string m_sErr;
    std::map<uint64_t, nlohmann::json> m_mapLines;
};

}  // namespace test_support

#endif  // FANOUT_TESTS_SIM_PROCESS_H
