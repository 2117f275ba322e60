#include "relay_proc/process.h"

#include <signal.h>
#include <sys/resource.h>

namespace relay_proc {

void RaiseFdLimit() {
    rlimit oLimit;
    if (getrlimit(RLIMIT_NOFILE, &oLimit) == 0 && oLimit.rlim_cur < oLimit.rlim_max) {
        oLimit.rlim_cur = oLimit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &oLimit);
    }
}

void SetStopHandler(void (*pHandler)(int)) {
    struct sigaction oAction = {};
    oAction.sa_handler = pHandler;
    sigemptyset(&oAction.sa_mask);
    sigaction(SIGINT, &oAction, nullptr);
    sigaction(SIGTERM, &oAction, nullptr);
}

}  // namespace relay_proc
