// Telling the service manager how the relay is doing (systemd's Type=notify): ready once
// every port listens, a status line with the counts every few seconds, reloading while a
// SIGHUP is applied, stopping when a stop signal came. Without a manager listening (no
// NOTIFY_SOCKET) nothing is sent and no thread runs.
//
// A manager that stops reading its socket would block the sender: the notices go out
// from a thread of their own, so the relay's threads never wait for the manager, and
// Stop() waits for it only so long.
#ifndef RELAYD_SERVICE_MANAGER_H
#define RELAYD_SERVICE_MANAGER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace relayd {

class CServiceNotifier {
public:
    typedef std::function<std::string()> STATUS_FN;

    // How often the status line goes out.
    static constexpr int64_t kStatusEveryMs = 5000;

    // fnStatus gives the status line; it is called on the notifier's thread until Stop().
    explicit CServiceNotifier(STATUS_FN fnStatus);
    ~CServiceNotifier();  // Stop(0)
    CServiceNotifier(const CServiceNotifier&) = delete;
    CServiceNotifier& operator=(const CServiceNotifier&) = delete;

    // READY=1 with sStatus as the status line; the periodic status lines follow.
    void Ready(const std::string& sStatus);
    // RELOADING=1 (with the monotonic time the manager expects alongside).
    void Reloading();
    // READY=1 again once a reload is done, with the status line.
    void Reloaded();
    // STOPPING=1, then ends the thread once the manager took what is queued, or after
    // llWaitMs (the thread is then left to finish on its own). Safe to call twice.
    void Stop(int64_t llWaitMs);

private:
    struct SShared;
    static void Run(const std::shared_ptr<SShared>& pShared);
    // bReady: the periodic status lines may start.
    void Queue(const std::string& sState, bool bReady);

    std::shared_ptr<SShared> m_pShared;  // null without a manager
    std::thread m_oThread;
};

}  // namespace relayd

#endif  // RELAYD_SERVICE_MANAGER_H
