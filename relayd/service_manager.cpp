#include "relayd/service_manager.h"

#include <systemd/sd-daemon.h>

namespace relayd {

void NotifyReady(const std::string& sStatus) {
    sd_notify(0, ("READY=1\nSTATUS=" + sStatus).c_str());
}

void NotifyStopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=stopping: answering the requests in flight");
}

}  // namespace relayd
