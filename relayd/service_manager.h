// Telling the service manager how the relay is doing (systemd's Type=notify): ready once
// every port listens, stopping when a stop signal came. Without a manager listening
// (no NOTIFY_SOCKET) each call does nothing.
#ifndef RELAYD_SERVICE_MANAGER_H
#define RELAYD_SERVICE_MANAGER_H

#include <string>

namespace relayd {

// READY=1 with sStatus as the STATUS= line the manager shows.
void NotifyReady(const std::string& sStatus);
void NotifyStopping();

}  // namespace relayd

#endif  // RELAYD_SERVICE_MANAGER_H
