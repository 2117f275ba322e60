// One thread's event loop: file descriptors watched through epoll, one-shot timers on
// the steady clock, tasks posted from any thread, and a stop request that is safe in a
// signal handler. It knows nothing of frames or channels.
//
//   CEventLoop oLoop;
//   if (!oLoop.Init(sErrMsg)) ...
//   oLoop.Watch(iFd, EPOLLIN, [](uint32_t dwEvents) { ... }, sErrMsg);
//   oLoop.AddTimer(CEventLoop::NowMs() + 500, [] { ... });
//   oLoop.Run(sErrMsg);   // until RequestStop()
//
// Everything but Post() and RequestStop() is for the loop's own thread. Handlers may
// watch, unwatch (also their own descriptor), add and cancel timers.
#ifndef RELAY_NET_EVENT_LOOP_H
#define RELAY_NET_EVENT_LOOP_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace relay_net {

class CEventLoop {
public:
    // Called with the epoll events that fired (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP...).
    typedef std::function<void(uint32_t dwEvents)> FD_HANDLER;
    typedef std::function<void()> TASK;

    CEventLoop() = default;
    ~CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // Creates the epoll and wake-up descriptors. False with sErrMsg when one fails.
    bool Init(std::string& sErrMsg);

    // Calls fnHandler when iFd has any of dwEvents (epoll flags, level-triggered). 0
    // keeps the handler but watches nothing, not even hang-ups. The caller keeps iFd
    // open until Unwatch().
    bool Watch(int iFd, uint32_t dwEvents, FD_HANDLER fnHandler, std::string& sErrMsg);
    // New events for a watched iFd.
    bool Rewatch(int iFd, uint32_t dwEvents, std::string& sErrMsg);
    // Forgets iFd and its handler; events of iFd already fetched are dropped. Call it
    // before closing iFd.
    bool Unwatch(int iFd, std::string& sErrMsg);

    // Runs fnTask once at steady-clock millisecond ddwAtMs (see NowMs()) or soon after.
    // Returns an id for CancelTimer(), never 0 and never reused.
    uint64_t AddTimer(uint64_t ddwAtMs, TASK fnTask);
    // Drops the timer; an id that has run or was cancelled is ignored.
    void CancelTimer(uint64_t ddwTimerId);

    // Runs fnTask on the loop's thread soon. Callable from any thread, as long as the
    // loop object lives; tasks still queued when it is destroyed are dropped.
    void Post(TASK fnTask);

    // Serves events, timers and posted tasks until RequestStop(), then returns true (the
    // request is used up: Run() may be called again). False with sErrMsg when waiting
    // for events fails.
    bool Run(std::string& sErrMsg);
    // Makes Run() return soon. Async-signal-safe: it stores a flag and writes the
    // wake-up descriptor, nothing else.
    void RequestStop();

    // Steady-clock milliseconds.
    static uint64_t NowMs();

    size_t WatchCount() const { return m_mapWatches.size(); }
    size_t TimerCount() const { return m_mapTimerTasks.size(); }

private:
    struct SWatch {
        int m_iFd;
        uint32_t m_dwEvents;  // 0: not registered with epoll
        FD_HANDLER m_fnHandler;
    };
    struct STimer {
        uint64_t m_ddwAtMs;
        uint64_t m_ddwId;
    };

    // The heap order: the earliest deadline on top.
    static bool FiresLater(const STimer& oA, const STimer& oB);
    bool Control(int iOp, int iFd, uint32_t dwEvents, uint64_t ddwKey, std::string& sErrMsg);
    void Wake();
    void OnWake();
    void Dispatch(uint64_t ddwKey, uint32_t dwEvents);
    void RunTimers(uint64_t ddwNowMs);
    void CompactTimers();
    int WaitTimeoutMs(uint64_t ddwNowMs) const;

    int m_iEpollFd = -1;
    int m_iWakeFd = -1;
    std::atomic<bool> m_bStop{false};
    // epoll keys: 0 the wake-up descriptor, watches from 1 on, never reused, so events
    // fetched for a descriptor since unwatched (and perhaps reused) find nothing.
    uint64_t m_ddwLastKey = 0;
    std::unordered_map<uint64_t, std::shared_ptr<SWatch>> m_mapWatches;
    std::unordered_map<int, uint64_t> m_mapFdKeys;
    // A min-heap by deadline; entries of cancelled timers stay until they come up or
    // the heap is compacted.
    std::vector<STimer> m_vecTimerHeap;
    std::unordered_map<uint64_t, TASK> m_mapTimerTasks;
    uint64_t m_ddwLastTimerId = 0;
    std::mutex m_oPostMutex;
    std::vector<TASK> m_vecPosted;
};

}  // namespace relay_net

#endif  // RELAY_NET_EVENT_LOOP_H
