#include "relay_net/process.h"

#include <dirent.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

namespace relay_net {

void RaiseFdLimit() {
    rlimit oLimit;
    if (getrlimit(RLIMIT_NOFILE, &oLimit) == 0 && oLimit.rlim_cur < oLimit.rlim_max) {
        oLimit.rlim_cur = oLimit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &oLimit);
    }
}

void ReturnLargeBuffers() {
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

uint64_t FdLimit() {
    rlimit oLimit;
    return getrlimit(RLIMIT_NOFILE, &oLimit) == 0 ? oLimit.rlim_cur : 0;
}

uint64_t OpenFdCount() {
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) {
        return 0;
    }
    uint64_t ddwCount = 0;
    while (const dirent* pEntry = readdir(pDir)) {
        ddwCount += (pEntry->d_name[0] != '.') ? 1 : 0;
    }
    closedir(pDir);
    return ddwCount - 1;  // the directory's own descriptor
}

void SetStopHandler(void (*pHandler)(int)) {
    struct sigaction oAction = {};
    oAction.sa_handler = pHandler;
    sigemptyset(&oAction.sa_mask);
    sigaction(SIGINT, &oAction, nullptr);
    sigaction(SIGTERM, &oAction, nullptr);
}

}  // namespace relay_net
