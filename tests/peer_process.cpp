#include "tests/peer_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/sim_process.h"

namespace test_support {

using nlohmann::json;

namespace {

const char kPython[] = "/usr/bin/python3";
const int kReadyTimeoutMs = 10000;

}  // namespace

CPeerProcess::~CPeerProcess() {
    Kill();
}

std::string CPeerProcess::Url() const {
    const std::string sHostPort = "127.0.0.1:" + std::to_string(m_wPort);
    return m_eKind == PK_SMTP ? "smtp://" + sHostPort : "http://" + sHostPort + "/hook";
}

bool CPeerProcess::Start(const std::vector<std::string>& vecArgs) {
    Kill();
    int aIn[2];
    int aOut[2];
    if (pipe2(aIn, O_CLOEXEC) != 0 || pipe2(aOut, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<std::string> vecAll{
        kPython,
        std::string(FANOUT_PEERS_DIR) + (m_eKind == PK_SMTP ? "/smtp_peer.py" : "/http_peer.py")};
    vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
    std::vector<char*> vecArgv;
    for (std::string& sArg : vecAll) {
        vecArgv.push_back(&sArg[0]);
    }
    vecArgv.push_back(nullptr);
    m_iPid = fork();
    if (m_iPid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // no peer outlives a crashed test
        dup2(aIn[0], STDIN_FILENO);
        dup2(aOut[1], STDOUT_FILENO);
        execv(vecArgv[0], vecArgv.data());
        _exit(127);
    }
    close(aIn[0]);
    close(aOut[1]);
    m_iIn = aIn[1];
    m_iOut = aOut[0];
    const json oReady = NextOf(true, kReadyTimeoutMs);
    if (!oReady.is_object() || oReady.value("event", "") != "ready") {
        return false;
    }
    m_wPort = oReady.value("port", uint16_t(0));
    return m_wPort != 0;
}

bool CPeerProcess::Command(const std::string& sLine) {
    const std::string sWire = sLine + "\n";
    if (write(m_iIn, sWire.data(), sWire.size()) != static_cast<ssize_t>(sWire.size())) {
        return false;
    }
    const json oAck = NextOf(true, 5000);
    return oAck.is_object() && oAck.value("event", "") == "ok";
}

json CPeerProcess::Count() {
    const std::string sWire = "count\n";
    if (write(m_iIn, sWire.data(), sWire.size()) != static_cast<ssize_t>(sWire.size())) {
        return json();
    }
    return NextOf(true, 5000);
}

json CPeerProcess::NextEvent(int iTimeoutMs) {
    return NextOf(false, iTimeoutMs);
}

json CPeerProcess::NextOf(bool bControl, int iTimeoutMs) {
    std::deque<json>& deqWanted = bControl ? m_deqControl : m_deqEvents;
    const auto tDeadline = CLOCK::now() + std::chrono::milliseconds(iTimeoutMs);
    while (deqWanted.empty()) {
        const bool bGot = ReadUntil(m_iOut, m_sOut, tDeadline, [](const std::string& s) {
            return s.find('\n') != std::string::npos;
        });
        if (!bGot) {
            return json();
        }
        const size_t nEnd = m_sOut.find('\n');
        json oLine = json::parse(m_sOut.substr(0, nEnd), nullptr, false);
        m_sOut.erase(0, nEnd + 1);
        const std::string sEvent = oLine.is_object() ? oLine.value("event", "") : "";
        (sEvent == "message" || sEvent == "request" ? m_deqEvents : m_deqControl)
            .push_back(std::move(oLine));
    }
    json oLine = std::move(deqWanted.front());
    deqWanted.pop_front();
    return oLine;
}

void CPeerProcess::Kill() {
    if (m_iPid > 0) {
        kill(m_iPid, SIGKILL);
        waitpid(m_iPid, nullptr, 0);
        m_iPid = -1;
    }
    for (int* pFd : {&m_iIn, &m_iOut}) {
        if (*pFd >= 0) {
            close(*pFd);
            *pFd = -1;
        }
    }
    m_sOut.clear();
    m_deqEvents.clear();
    m_deqControl.clear();
}

}  // namespace test_support
