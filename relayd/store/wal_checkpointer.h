// Copies a SQLite store's write-ahead log into the database file on a thread of its own,
// so that the commits clients wait for do not also carry the copying. It runs a passive
// checkpoint four times a second (one that never waits for the writer or readers); the
// writer's own automatic checkpoint stays as the bound on the log's size and normally
// finds little left to copy.
#ifndef RELAYD_STORE_WAL_CHECKPOINTER_H
#define RELAYD_STORE_WAL_CHECKPOINTER_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "relayd/store/sqlite_conn.h"

namespace relayd {

class CWalCheckpointer {
public:
    // Starts checkpointing through pConn, a connection of its own to the store.
    explicit CWalCheckpointer(std::unique_ptr<CSqliteConn> pConn);
    ~CWalCheckpointer();  // stops the thread; the connection closes with it
    CWalCheckpointer(const CWalCheckpointer&) = delete;
    CWalCheckpointer& operator=(const CWalCheckpointer&) = delete;

private:
    void Run();

    std::unique_ptr<CSqliteConn> m_pConn;
    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    bool m_bStopping = false;
    std::thread m_oThread;
};

}  // namespace relayd

#endif  // RELAYD_STORE_WAL_CHECKPOINTER_H
