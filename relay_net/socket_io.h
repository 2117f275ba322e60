// Non-blocking socket steps, each bounded in bytes so one busy peer cannot hold the
// event loop: read into a frame, send what the socket takes, discard what arrives.
// Each returns how it stopped; a failed call leaves its errno in the result, read right
// where the call returned.
#ifndef RELAY_NET_SOCKET_IO_H
#define RELAY_NET_SOCKET_IO_H

#include <cstddef>
#include <string>

#include "relay_proto/frame.h"

namespace relay_net {

enum IO_STATUS {
    IO_DONE,   // the step is complete
    IO_MORE,   // the socket has no more for now, or the byte budget is spent: wait, call again
    IO_EOF,    // the peer closed its side
    IO_ERROR,  // the call failed: m_iErrno, m_szCall
};

struct SIoResult {
    IO_STATUS m_eStatus = IO_MORE;
    int m_iErrno = 0;
    const char* m_szCall = "";  // the system call that failed

    // "recv: Connection reset by peer"
    std::string ErrorText() const;
};

// Bytes read in one step before other connections get their turn.
const size_t kReadBudget = 1 << 20;

// Reads into oReader until its frame is complete or refused (IO_DONE, the reader's
// status in eFrame), or nBudget bytes have been read, or nothing more is ready (IO_MORE).
SIoResult ReadFrame(int iFd, relay_proto::CFrameReader& oReader, size_t nBudget,
                    relay_proto::CFrameReader::STATUS& eFrame);

// Sends pData[nPos, nSize); nPos moves past what was sent. IO_DONE when all is sent.
SIoResult SendSome(int iFd, const char* pData, size_t nSize, size_t& nPos);

// Reads and drops what arrives, at most nBudget bytes: IO_MORE while the peer keeps its
// side open, IO_EOF once it closed.
SIoResult DiscardInput(int iFd, size_t nBudget);

}  // namespace relay_net

#endif  // RELAY_NET_SOCKET_IO_H
