#include "relayd/store/wal_checkpointer.h"

#include <chrono>
#include <string>

namespace relayd {

namespace {

const int64_t kEveryMs = 250;

}  // namespace

CWalCheckpointer::CWalCheckpointer(std::unique_ptr<CSqliteConn> pConn)
    : m_pConn(std::move(pConn)), m_oThread(&CWalCheckpointer::Run, this) {}

CWalCheckpointer::~CWalCheckpointer() {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bStopping = true;
    }
    m_oCond.notify_all();
    m_oThread.join();
}

// A failed or busy checkpoint is tried again at the next round; the store's health
// follows the writes themselves, not this.
void CWalCheckpointer::Run() {
    std::unique_lock<std::mutex> oLock(m_oMutex);
    while (!m_oCond.wait_for(oLock, std::chrono::milliseconds(kEveryMs),
                             [this] { return m_bStopping; })) {
        oLock.unlock();
        std::string sIgnored;
        m_pConn->QueryText("PRAGMA wal_checkpoint(PASSIVE)", sIgnored, sIgnored);
        oLock.lock();
    }
}

}  // namespace relayd
