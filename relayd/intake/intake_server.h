// The relay's TCP side: the four channel ports of every listen address, one request frame
// and one reply frame per connection. Frames go to intake; verdicts come back here.
#ifndef RELAYD_INTAKE_INTAKE_SERVER_H
#define RELAYD_INTAKE_INTAKE_SERVER_H

#include <cstdint>
#include <string>

#include "relay_net/event_loop.h"
#include "relay_net/frame_server.h"
#include "relayd/config/config.h"
#include "relayd/intake/intake.h"
#include "relayd/record/metrics.h"

namespace relayd {

class CIntakeServer : public relay_net::IFrameHandler {
public:
    CIntakeServer(relay_net::CEventLoop& oLoop, const SConfig& oConfig, CMetrics& oMetrics);

    // Intake must be set before Listen().
    void SetIntake(CIntake* pIntake) { m_pIntake = pIntake; }
    bool Listen(std::string& sErrMsg);
    // "listening on 127.0.0.1, ::1 ports 12460-12463".
    std::string ListenText() const;

    // Sends the verdict's reply, or closes without one. On the loop's thread.
    void Answer(const SIntakeVerdict& oVerdict);
    // From any thread: hands the verdict to the loop's thread.
    void PostAnswer(const SIntakeVerdict& oVerdict);

    // Stops accepting and lets requests in flight finish within ddwGraceMs.
    bool Shutdown(uint64_t ddwGraceMs, std::string& sErrMsg);

    // A peer outside allow: its frame is dropped as it arrives, its header kept for the
    // answer.
    bool Admit(const relay_net::SPeer& oPeer) override;
    void OnFrame(uint64_t ddwConnId, relay_proto::CHANNEL eChannel, const relay_net::SPeer& oPeer,
                 std::string&& sPayload) override;
    void OnConnOpen(uint64_t ddwConnId, relay_proto::CHANNEL eChannel,
                    const relay_net::SPeer& oPeer) override;
    void OnConnClose(uint64_t ddwConnId, relay_net::CLOSE_REASON eReason,
                     const std::string& sDetail) override;
    void OnLog(const std::string& sMsg) override;

private:
    relay_net::CEventLoop& m_oLoop;
    CMetrics& m_oMetrics;
    const SConfig& m_oConfig;
    relay_net::CFrameServer m_oServer;
    CIntake* m_pIntake = nullptr;
};

}  // namespace relayd

#endif  // RELAYD_INTAKE_INTAKE_SERVER_H
