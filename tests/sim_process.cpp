#include "tests/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

namespace test_support {

using nlohmann::json;

long MsSince(CLOCK::time_point tStart) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(CLOCK::now() - tStart).count());
}

CSimProcess::~CSimProcess() {
    if (m_iPid > 0) {
        kill(m_iPid, SIGKILL);
        waitpid(m_iPid, nullptr, 0);
    }
    close(m_iOut);
    close(m_iErr);
}

bool CSimProcess::Start(const std::vector<std::string>& vecArgs) {
    for (int iTry = 0; iTry < 5; ++iTry) {
        m_nOffset = 1000 + ((getpid() + iTry * 997) % 4000) * 4;
        std::vector<std::string> vecAll = vecArgs;
        vecAll.insert(vecAll.end(), {"--port-offset", std::to_string(m_nOffset)});
        if (StartAsIs(vecAll)) {
            return true;
        }
        if (Stop() != 2) {
            return false;
        }
    }
    return false;
}

bool CSimProcess::StartAsIs(const std::vector<std::string>& vecArgs) {
    int aOut[2];
    int aErr[2];
    if (pipe2(aOut, O_CLOEXEC) != 0 || pipe2(aErr, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<std::string> vecCopy{FANOUT_RELAY_SIM_BIN};
    vecCopy.insert(vecCopy.end(), vecArgs.begin(), vecArgs.end());
    std::vector<char*> vecArgv;
    for (std::string& sArg : vecCopy) {
        vecArgv.push_back(&sArg[0]);
    }
    vecArgv.push_back(nullptr);
    m_iPid = fork();
    if (m_iPid == 0) {
        dup2(aOut[1], STDOUT_FILENO);
        dup2(aErr[1], STDERR_FILENO);
        execv(vecArgv[0], vecArgv.data());
        _exit(127);
    }
    close(aOut[1]);
    close(aErr[1]);
    close(m_iOut);
    close(m_iErr);
    m_iOut = aOut[0];
    m_iErr = aErr[0];
    m_sErr.clear();
    m_sOut.clear();
    return ReadUntil(m_iErr, m_sErr, CLOCK::now() + std::chrono::seconds(10),
                     [](const std::string& s) { return s.find("listening on") != s.npos; });
}

json CSimProcess::LineOf(uint64_t ddwSeq, int iTimeoutMs) {
    const auto tDeadline = CLOCK::now() + std::chrono::milliseconds(iTimeoutMs);
    while (m_mapLines.count(ddwSeq) == 0) {
        const json oLine = NextLine(static_cast<int>(std::max(1L, -MsSince(tDeadline))));
        if (!oLine.is_object()) {
            return json();
        }
        m_mapLines[oLine.value("seq", uint64_t(0))] = oLine;
    }
    return m_mapLines[ddwSeq];
}

json CSimProcess::NextLine(int iTimeoutMs) {
    const bool bGot =
        ReadUntil(m_iOut, m_sOut, CLOCK::now() + std::chrono::milliseconds(iTimeoutMs),
                  [](const std::string& s) { return s.find('\n') != s.npos; });
    if (!bGot) {
        return json();
    }
    const size_t nEnd = m_sOut.find('\n');
    const std::string sLine = m_sOut.substr(0, nEnd);
    m_sOut.erase(0, nEnd + 1);
    return json::parse(sLine);
}

int CSimProcess::Stop() {
    if (m_iPid <= 0) {
        return -1;
    }
    kill(m_iPid, SIGTERM);
    int iStatus = 0;
    const auto tStart = CLOCK::now();
    while (waitpid(m_iPid, &iStatus, WNOHANG) == 0) {
        if (MsSince(tStart) > 5000) {
            return -1;  // the destructor kills it
        }
        usleep(10000);
    }
    ReadUntil(m_iErr, m_sErr, CLOCK::now() + std::chrono::seconds(1),
              [](const std::string&) { return false; });
    m_iPid = -1;
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
}

}  // namespace test_support
