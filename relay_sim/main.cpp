// fanout_relay_sim: a local stand-in for the relay server (see --help).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "relay_proc/process.h"
#include "relay_sim/sim_options.h"
#include "relay_sim/sim_server.h"

namespace {

relay_sim::CRelaySim* g_pSim = nullptr;

void OnStopSignal(int) {
    g_pSim->RequestStop();
}

// Writes iPid and a newline to sPath; false with the reason in sErrMsg.
bool WritePidFile(const std::string& sPath, pid_t iPid, std::string& sErrMsg) {
    FILE* pFile = fopen(sPath.c_str(), "w");
    bool bOk = pFile != nullptr;
    if (bOk) {
        bOk = fprintf(pFile, "%d\n", static_cast<int>(iPid)) > 0;
        bOk = fclose(pFile) == 0 && bOk;
    }
    if (!bOk) {
        sErrMsg = "--pid-file: cannot write " + sPath;
    }
    return bOk;
}

// With --background, the caller goes on as a child process while the parent, whose
// exit tells a script that every port listens, ends here. The pid file names the
// process that keeps running.
bool Detach(const relay_sim::SSimOptions& oOpts, std::string& sErrMsg) {
    pid_t iPid = getpid();
    if (oOpts.m_bBackground) {
        fflush(stdout);
        fflush(stderr);
        iPid = fork();
        if (iPid < 0) {
            sErrMsg = "cannot go on in the background";
            return false;
        }
        if (iPid > 0) {
            const bool bWritten =
                oOpts.m_sPidFile.empty() || WritePidFile(oOpts.m_sPidFile, iPid, sErrMsg);
            if (!bWritten) {
                kill(iPid, SIGTERM);
                fprintf(stderr, "fanout_relay_sim: %s\n", sErrMsg.c_str());
            }
            _exit(bWritten ? 0 : 2);
        }
        return true;
    }
    return oOpts.m_sPidFile.empty() || WritePidFile(oOpts.m_sPidFile, iPid, sErrMsg);
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
    relay_proc::RaiseFdLimit();

    relay_sim::CRelaySim oSim(oOpts, stdout);
    if (!oSim.Listen(sErrMsg)) {
        fprintf(stderr, "fanout_relay_sim: %s\n", sErrMsg.c_str());
        return 2;
    }
    g_pSim = &oSim;
    relay_proc::SetStopHandler(OnStopSignal);
    fprintf(stderr, "%s\n", oSim.ReadyLine().c_str());
    if (!Detach(oOpts, sErrMsg)) {
        fprintf(stderr, "fanout_relay_sim: %s\n", sErrMsg.c_str());
        return 2;
    }

    const bool bOk = oSim.Run(sErrMsg);
    relay_proc::SetStopHandler(SIG_IGN);
    if (!oOpts.m_sPidFile.empty()) {
        unlink(oOpts.m_sPidFile.c_str());
    }
    if (!bOk) {
        fprintf(stderr, "fanout_relay_sim: %s\n", sErrMsg.c_str());
        return 1;
    }
    return 0;
}
