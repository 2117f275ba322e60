#include "tests/test_support.h"

#include "tests/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace test_support {

const char* const kRedError = "\033[0;32;31m[ERROR]\033[m";
const char* const kGreenOk = "\033[0;32;32m[OK]\033[m";

namespace {

// Reads both pipes until both close or the deadline passes.
void DrainPipes(int iOutFd, int iErrFd, SRunResult& oResult, int iTimeoutMs,
                std::chrono::steady_clock::time_point tStart) {
    pollfd aFds[2] = {{iOutFd, POLLIN, 0}, {iErrFd, POLLIN, 0}};
    std::string* aSinks[2] = {&oResult.sStdout, &oResult.sStderr};
    int nOpen = 2;
    while (nOpen > 0) {
        const long lLeft = iTimeoutMs - MsSince(tStart);
        if (lLeft <= 0) {
            oResult.bTimedOut = true;
            return;
        }
        if (poll(aFds, 2, static_cast<int>(lLeft)) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (aFds[i].fd < 0 || aFds[i].revents == 0) {
                continue;
            }
            char szBuf[65536];
            const ssize_t n = read(aFds[i].fd, szBuf, sizeof(szBuf));
            if (n > 0) {
                aSinks[i]->append(szBuf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                aFds[i].fd = -1;
                --nOpen;
            }
        }
    }
}

}  // namespace

SRunResult RunProgram(const std::vector<std::string>& vecArgs, int iTimeoutMs,
                      const std::string& sArgv0, uint64_t ddwMemLimit) {
    SRunResult oResult;
    int aOut[2];
    int aErr[2];
    if (pipe2(aOut, O_CLOEXEC) != 0 || pipe2(aErr, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> vecArgv;
    std::string sFirst = sArgv0.empty() ? vecArgs[0] : sArgv0;
    vecArgv.push_back(&sFirst[0]);
    std::vector<std::string> vecCopy(vecArgs.begin() + 1, vecArgs.end());
    for (auto& sArg : vecCopy) {
        vecArgv.push_back(&sArg[0]);
    }
    vecArgv.push_back(nullptr);

    const auto tStart = std::chrono::steady_clock::now();
    const pid_t iPid = fork();
    if (iPid == 0) {
        dup2(aOut[1], STDOUT_FILENO);
        dup2(aErr[1], STDERR_FILENO);
        const int iNull = open("/dev/null", O_RDONLY);
        dup2(iNull, STDIN_FILENO);
        const rlimit oLimit = {ddwMemLimit, ddwMemLimit};
        if (ddwMemLimit != 0 && setrlimit(RLIMIT_AS, &oLimit) != 0) {
            _exit(126);
        }
        execv(vecArgs[0].c_str(), vecArgv.data());
        _exit(127);
    }
    close(aOut[1]);
    close(aErr[1]);
    DrainPipes(aOut[0], aErr[0], oResult, iTimeoutMs, tStart);
    if (oResult.bTimedOut) {
        kill(iPid, SIGKILL);
    }
    close(aOut[0]);
    close(aErr[0]);
    int iStatus = 0;
    waitpid(iPid, &iStatus, 0);
    oResult.lElapsedMs = MsSince(tStart);
    oResult.iExitStatus = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    return oResult;
}

std::string FailureLine(const std::string& sMsg) {
    return std::string(kRedError) + " Send to svr failed! Msg: " + sMsg + ".\n";
}

// The client's path followed by vecArgs.
std::vector<std::string> ClientCommand(const std::vector<std::string>& vecArgs) {
    std::vector<std::string> vecFull{FANOUT_CLIENT_BIN};
    vecFull.insert(vecFull.end(), vecArgs.begin(), vecArgs.end());
    return vecFull;
}

SRunResult RunClient(const std::vector<std::string>& vecArgs, int iTimeoutMs) {
    return RunProgram(ClientCommand(vecArgs), iTimeoutMs);
}

SRunResult RunClientInMemory(const std::vector<std::string>& vecArgs, uint64_t ddwBytes) {
    return RunProgram(ClientCommand(vecArgs), 60000, "", ddwBytes);
}

CTempDir::CTempDir() {
    char szTemplate[] = "/tmp/fanout_test_XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_sPath = szTemplate;
}

CTempDir::~CTempDir() {
    const std::string sCmd = "rm -rf '" + m_sPath + "'";
    if (system(sCmd.c_str()) != 0) {
        // Nothing useful to do: a leftover folder under /tmp harms no test.
    }
}

std::string CTempDir::WriteFile(const std::string& sName, const std::string& sContent) const {
    const std::string sPath = m_sPath + "/" + sName;
    std::ofstream ofs(sPath, std::ios::binary);
    ofs.write(sContent.data(), static_cast<std::streamsize>(sContent.size()));
    return sPath;
}

}  // namespace test_support
