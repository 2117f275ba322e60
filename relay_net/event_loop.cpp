#include "relay_net/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "dev_tools/utils.h"
#include "relay_net/net_addr.h"

namespace relay_net {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop() must stay signal-safe");

const uint64_t kWakeKey = 0;
const int kMaxEvents = 256;
// The longest single wait, so a clock step never parks the loop for long.
const uint64_t kMaxWaitMs = 60000;
// Cancelled timers kept in the heap before it is rebuilt without them.
const size_t kMinStaleTimers = 1024;

}  // namespace

CEventLoop::~CEventLoop() {
    if (m_iWakeFd >= 0) {
        close(m_iWakeFd);
    }
    if (m_iEpollFd >= 0) {
        close(m_iEpollFd);
    }
}

bool CEventLoop::Init(std::string& sErrMsg) {
    m_iEpollFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_iEpollFd < 0) {
        sErrMsg = SysError("epoll_create1", errno);
        return false;
    }
    m_iWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_iWakeFd < 0) {
        sErrMsg = SysError("eventfd", errno);
        return false;
    }
    return Control(EPOLL_CTL_ADD, m_iWakeFd, EPOLLIN, kWakeKey, sErrMsg);
}

bool CEventLoop::Control(int iOp, int iFd, uint32_t dwEvents, uint64_t ddwKey,
                         std::string& sErrMsg) {
    epoll_event oEvent = {};
    oEvent.events = dwEvents;
    oEvent.data.u64 = ddwKey;
    if (epoll_ctl(m_iEpollFd, iOp, iFd, &oEvent) != 0) {
        const char* szOp = (iOp == EPOLL_CTL_ADD)   ? "epoll_ctl ADD"
                           : (iOp == EPOLL_CTL_MOD) ? "epoll_ctl MOD"
                                                    : "epoll_ctl DEL";
        sErrMsg = SysError(szOp, errno);
        return false;
    }
    return true;
}

bool CEventLoop::Watch(int iFd, uint32_t dwEvents, FD_HANDLER fnHandler, std::string& sErrMsg) {
    if (m_mapFdKeys.count(iFd) != 0) {
        sErrMsg = "epoll_ctl ADD: descriptor " + to_str(iFd) + " is already watched";
        return false;
    }
    const uint64_t ddwKey = ++m_ddwLastKey;
    if (dwEvents != 0 && !Control(EPOLL_CTL_ADD, iFd, dwEvents, ddwKey, sErrMsg)) {
        return false;
    }
    m_mapWatches[ddwKey] = std::make_shared<SWatch>(SWatch{iFd, dwEvents, std::move(fnHandler)});
    m_mapFdKeys[iFd] = ddwKey;
    return true;
}

bool CEventLoop::Rewatch(int iFd, uint32_t dwEvents, std::string& sErrMsg) {
    const auto itKey = m_mapFdKeys.find(iFd);
    if (itKey == m_mapFdKeys.end()) {
        sErrMsg = "epoll_ctl MOD: descriptor " + to_str(iFd) + " is not watched";
        return false;
    }
    SWatch& oWatch = *m_mapWatches[itKey->second];
    if (dwEvents == oWatch.m_dwEvents) {
        return true;
    }
    // Watching nothing takes the descriptor out of epoll: it would report hang-ups still.
    const int iOp = (oWatch.m_dwEvents == 0) ? EPOLL_CTL_ADD
                    : (dwEvents == 0)        ? EPOLL_CTL_DEL
                                             : EPOLL_CTL_MOD;
    if (!Control(iOp, iFd, dwEvents, itKey->second, sErrMsg)) {
        return false;
    }
    oWatch.m_dwEvents = dwEvents;
    return true;
}

bool CEventLoop::Unwatch(int iFd, std::string& sErrMsg) {
    const auto itKey = m_mapFdKeys.find(iFd);
    if (itKey == m_mapFdKeys.end()) {
        return true;
    }
    const auto itWatch = m_mapWatches.find(itKey->second);
    const bool bRegistered = itWatch->second->m_dwEvents != 0;
    m_mapWatches.erase(itWatch);
    m_mapFdKeys.erase(itKey);
    return !bRegistered || Control(EPOLL_CTL_DEL, iFd, 0, 0, sErrMsg);
}

// static
bool CEventLoop::FiresLater(const STimer& oA, const STimer& oB) {
    return oA.m_ddwAtMs > oB.m_ddwAtMs;
}

uint64_t CEventLoop::AddTimer(uint64_t ddwAtMs, TASK fnTask) {
    const uint64_t ddwId = ++m_ddwLastTimerId;
    m_mapTimerTasks[ddwId] = std::move(fnTask);
    m_vecTimerHeap.push_back(STimer{ddwAtMs, ddwId});
    std::push_heap(m_vecTimerHeap.begin(), m_vecTimerHeap.end(), FiresLater);
    return ddwId;
}

void CEventLoop::CancelTimer(uint64_t ddwTimerId) {
    if (m_mapTimerTasks.erase(ddwTimerId) != 0 &&
        m_vecTimerHeap.size() > 2 * m_mapTimerTasks.size() + kMinStaleTimers) {
        CompactTimers();
    }
}

// Rebuilds the heap from the live timers only, so cancelled ones cannot pile up.
void CEventLoop::CompactTimers() {
    m_vecTimerHeap.erase(std::remove_if(m_vecTimerHeap.begin(), m_vecTimerHeap.end(),
                                        [this](const STimer& oTimer) {
                                            return m_mapTimerTasks.count(oTimer.m_ddwId) == 0;
                                        }),
                         m_vecTimerHeap.end());
    std::make_heap(m_vecTimerHeap.begin(), m_vecTimerHeap.end(), FiresLater);
}

// Only the first task of a round writes the wake-up descriptor: OnWake() resets it before
// it takes the queue, so every task queued after that reset finds the queue either still
// to be taken or empty, and then wakes the loop itself.
void CEventLoop::Post(TASK fnTask) {
    bool bFirst = false;
    {
        std::lock_guard<std::mutex> oLock(m_oPostMutex);
        bFirst = m_vecPosted.empty();
        m_vecPosted.push_back(std::move(fnTask));
    }
    if (bFirst) {
        Wake();
    }
}

void CEventLoop::RequestStop() {
    m_bStop.store(true);
    Wake();
}

void CEventLoop::Wake() {
    const uint64_t ddwOne = 1;
    if (write(m_iWakeFd, &ddwOne, sizeof(ddwOne)) < 0) {
        // Only EAGAIN can happen on a valid eventfd: the counter is at its maximum, so a
        // wake-up is pending anyway.
    }
}

// Resets the wake-up counter, then runs what was posted until now.
void CEventLoop::OnWake() {
    uint64_t ddwCount = 0;
    while (read(m_iWakeFd, &ddwCount, sizeof(ddwCount)) < 0 && errno == EINTR) {
    }
    std::vector<TASK> vecTasks;
    {
        std::lock_guard<std::mutex> oLock(m_oPostMutex);
        vecTasks.swap(m_vecPosted);
    }
    for (TASK& fnTask : vecTasks) {
        fnTask();
    }
}

void CEventLoop::Dispatch(uint64_t ddwKey, uint32_t dwEvents) {
    const auto it = m_mapWatches.find(ddwKey);
    if (it == m_mapWatches.end()) {
        return;
    }
    // The handler may unwatch itself: keep it alive while it runs.
    const std::shared_ptr<SWatch> pWatch = it->second;
    pWatch->m_fnHandler(dwEvents);
}

void CEventLoop::RunTimers(uint64_t ddwNowMs) {
    while (!m_vecTimerHeap.empty() && m_vecTimerHeap.front().m_ddwAtMs <= ddwNowMs) {
        const uint64_t ddwId = m_vecTimerHeap.front().m_ddwId;
        std::pop_heap(m_vecTimerHeap.begin(), m_vecTimerHeap.end(), FiresLater);
        m_vecTimerHeap.pop_back();
        const auto it = m_mapTimerTasks.find(ddwId);
        if (it == m_mapTimerTasks.end()) {
            continue;  // cancelled
        }
        const TASK fnTask = std::move(it->second);
        m_mapTimerTasks.erase(it);
        fnTask();
    }
}

int CEventLoop::WaitTimeoutMs(uint64_t ddwNowMs) const {
    if (m_vecTimerHeap.empty()) {
        return -1;
    }
    const uint64_t ddwAtMs = m_vecTimerHeap.front().m_ddwAtMs;
    return (ddwAtMs <= ddwNowMs) ? 0 : static_cast<int>(std::min(ddwAtMs - ddwNowMs, kMaxWaitMs));
}

bool CEventLoop::Run(std::string& sErrMsg) {
    epoll_event aEvents[kMaxEvents];
    while (!m_bStop.exchange(false)) {
        const int nEvents = epoll_wait(m_iEpollFd, aEvents, kMaxEvents, WaitTimeoutMs(NowMs()));
        if (nEvents < 0) {
            if (errno == EINTR) {
                continue;
            }
            sErrMsg = SysError("epoll_wait", errno);
            return false;
        }
        for (int i = 0; i < nEvents; ++i) {
            if (aEvents[i].data.u64 == kWakeKey) {
                OnWake();
            } else {
                Dispatch(aEvents[i].data.u64, aEvents[i].events);
            }
        }
        RunTimers(NowMs());
    }
    return true;
}

uint64_t CEventLoop::NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace relay_net
