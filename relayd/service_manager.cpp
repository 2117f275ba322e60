#include "relayd/service_manager.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "relayd/record/clock.h"

namespace relayd {

// What the relay's threads and the notifier's share; it outlives the notifier when the
// thread is left blocked on a manager that does not read.
struct CServiceNotifier::SShared {
    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    std::deque<std::string> m_deqStates;  // to send, in order
    STATUS_FN m_fnStatus;
    bool m_bReady = false;  // the periodic status lines follow READY=1
    bool m_bStopping = false;
    bool m_bDone = false;
};

namespace {

void Send(const std::string& sState) {
    sd_notify(0, sState.c_str());
}

}  // namespace

// static
void CServiceNotifier::Run(const std::shared_ptr<SShared>& pShared) {
    std::unique_lock<std::mutex> oLock(pShared->m_oMutex);
    int64_t llNextStatusMs = 0;
    for (;;) {
        if (!pShared->m_deqStates.empty()) {
            const std::string sState = std::move(pShared->m_deqStates.front());
            pShared->m_deqStates.pop_front();
            oLock.unlock();
            Send(sState);
            oLock.lock();
            // A notice's own status line stands for a while before the counts replace it.
            llNextStatusMs = MonotonicNowMs() + CServiceNotifier::kStatusEveryMs;
            continue;
        }
        if (pShared->m_bStopping) {
            break;
        }
        if (!pShared->m_bReady) {
            pShared->m_oCond.wait(oLock);
            continue;
        }
        const int64_t llNowMs = MonotonicNowMs();
        if (llNowMs >= llNextStatusMs) {
            const std::string sState = "STATUS=" + pShared->m_fnStatus();
            llNextStatusMs = llNowMs + CServiceNotifier::kStatusEveryMs;
            oLock.unlock();
            Send(sState);
            oLock.lock();
            continue;
        }
        pShared->m_oCond.wait_for(oLock, std::chrono::milliseconds(llNextStatusMs - llNowMs));
    }
    pShared->m_bDone = true;
    pShared->m_oCond.notify_all();
}

CServiceNotifier::CServiceNotifier(STATUS_FN fnStatus) {
    const char* szSocket = getenv("NOTIFY_SOCKET");
    if (szSocket == nullptr || *szSocket == '\0') {
        return;
    }
    m_pShared = std::make_shared<SShared>();
    m_pShared->m_fnStatus = std::move(fnStatus);
    m_oThread = std::thread(&CServiceNotifier::Run, m_pShared);
}

CServiceNotifier::~CServiceNotifier() {
    Stop(0);
}

void CServiceNotifier::Queue(const std::string& sState, bool bReady) {
    if (!m_pShared) {
        return;
    }
    {
        std::lock_guard<std::mutex> oLock(m_pShared->m_oMutex);
        if (m_pShared->m_bStopping) {
            return;
        }
        m_pShared->m_deqStates.push_back(sState);
        m_pShared->m_bReady = m_pShared->m_bReady || bReady;
    }
    m_pShared->m_oCond.notify_all();
}

void CServiceNotifier::Ready(const std::string& sStatus) {
    Queue("READY=1\nSTATUS=" + sStatus, true);
}

void CServiceNotifier::Reloading() {
    Queue("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(MonotonicNowMs() * 1000), false);
}

void CServiceNotifier::Reloaded() {
    if (!m_pShared) {
        return;
    }
    Queue("READY=1\nSTATUS=" + m_pShared->m_fnStatus(), false);
}

void CServiceNotifier::Stop(int64_t llWaitMs) {
    if (!m_oThread.joinable()) {
        return;
    }
    Queue("STOPPING=1\nSTATUS=stopping: answering the requests in flight", false);
    std::unique_lock<std::mutex> oLock(m_pShared->m_oMutex);
    m_pShared->m_bStopping = true;
    m_pShared->m_fnStatus = nullptr;  // the relay's counters may be gone once it returned
    m_pShared->m_oCond.notify_all();
    const bool bDone = m_pShared->m_oCond.wait_for(oLock, std::chrono::milliseconds(llWaitMs),
                                                   [this] { return m_pShared->m_bDone; });
    oLock.unlock();
    if (bDone) {
        m_oThread.join();
    } else {
        m_oThread.detach();
    }
}

}  // namespace relayd
