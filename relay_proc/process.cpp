#include "relay_proc/process.h"

#include <dirent.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace relay_proc {

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

int OpenReloadSignal(std::string& sErrMsg) {
    sigset_t oSet;
    sigemptyset(&oSet);
    sigaddset(&oSet, SIGHUP);
    const int iErr = pthread_sigmask(SIG_BLOCK, &oSet, nullptr);
    if (iErr != 0) {
        sErrMsg = std::string("blocking SIGHUP: ") + strerror(iErr);
        return -1;
    }
    const int iFd = signalfd(-1, &oSet, SFD_NONBLOCK | SFD_CLOEXEC);
    if (iFd < 0) {
        sErrMsg = std::string("signalfd for SIGHUP: ") + strerror(errno);
    }
    return iFd;
}

bool TakeReloadSignals(int iFd) {
    signalfd_siginfo oInfo;
    bool bTaken = false;
    while (read(iFd, &oInfo, sizeof(oInfo)) == static_cast<ssize_t>(sizeof(oInfo))) {
        bTaken = true;
    }
    return bTaken;
}

}  // namespace relay_proc
