// fanout_relay_sim: a local stand-in for the relay server (see --help).
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "relay_sim/sim_options.h"
#include "relay_sim/sim_server.h"

namespace {

relay_sim::CRelaySim* g_pSim = nullptr;

void OnStopSignal(int) {
    g_pSim->RequestStop();
}

// Many concurrent clients need many descriptors: take all that the hard limit allows.
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

}  // namespace

int main(int argc, char** argv) {
    relay_sim::SSimOptions oOpts;
    std::string sErrMsg;
    switch (relay_sim::ParseOptions(argc, argv, oOpts, sErrMsg)) {
        case relay_sim::PR_HELP:
            fputs(relay_sim::UsageText().c_str(), stdout);
            return 0;
        case relay_sim::PR_ERROR:
            fprintf(stderr, "fanout_relay_sim: %s\nTry 'fanout_relay_sim --help'.\n",
                    sErrMsg.c_str());
            return 2;
        case relay_sim::PR_RUN:
            break;
    }
    signal(SIGPIPE, SIG_IGN);
    RaiseFdLimit();

    relay_sim::CRelaySim oSim(oOpts, stdout);
    if (!oSim.Listen(sErrMsg)) {
        fprintf(stderr, "fanout_relay_sim: %s\n", sErrMsg.c_str());
        return 2;
    }
    g_pSim = &oSim;
    SetStopHandler(OnStopSignal);
    fprintf(stderr, "%s\n", oSim.ReadyLine().c_str());

    const bool bOk = oSim.Run(sErrMsg);
    SetStopHandler(SIG_IGN);
    if (!bOk) {
        fprintf(stderr, "fanout_relay_sim: %s\n", sErrMsg.c_str());
        return 1;
    }
    return 0;
}
