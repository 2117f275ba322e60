#include "relay_net/socket_io.h"

#include <sys/socket.h>

#include <cerrno>

#include "relay_net/net_addr.h"

namespace relay_net {

namespace {

SIoResult Result(IO_STATUS eStatus) {
    SIoResult oResult;
    oResult.m_eStatus = eStatus;
    return oResult;
}

SIoResult Failed(const char* szCall, int iErrno) {
    SIoResult oResult;
    oResult.m_eStatus = IO_ERROR;
    oResult.m_iErrno = iErrno;
    oResult.m_szCall = szCall;
    return oResult;
}

bool WouldBlock(int iErrno) {
    return iErrno == EAGAIN || iErrno == EWOULDBLOCK;
}

// What a recv() that returned n <= 0 means for the step: the peer closed, nothing is
// ready, or the call failed. False for an interruption: call again.
bool RecvStopped(ssize_t n, SIoResult& oResult) {
    if (n == 0) {
        oResult = Result(IO_EOF);
    } else if (WouldBlock(errno)) {
        oResult = Result(IO_MORE);
    } else if (errno != EINTR) {
        oResult = Failed("recv", errno);
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string SIoResult::ErrorText() const {
    return SysError(m_szCall, m_iErrno);
}

SIoResult ReadFrame(int iFd, relay_proto::CFrameReader& oReader, size_t nBudget,
                    relay_proto::CFrameReader::STATUS& eFrame) {
    SIoResult oResult;
    for (size_t nTotal = 0; nTotal < nBudget;) {
        size_t nRoom = 0;
        char* pRoom = oReader.Room(nRoom);
        const ssize_t n = recv(iFd, pRoom, nRoom, 0);
        if (n > 0) {
            nTotal += static_cast<size_t>(n);
            eFrame = oReader.Commit(static_cast<size_t>(n));
            if (eFrame != relay_proto::CFrameReader::FR_MORE) {
                return Result(IO_DONE);
            }
        } else if (RecvStopped(n, oResult)) {
            return oResult;
        }
    }
    return Result(IO_MORE);
}

SIoResult SendSome(int iFd, const char* pData, size_t nSize, size_t& nPos) {
    while (nPos < nSize) {
        const ssize_t n = send(iFd, pData + nPos, nSize - nPos, MSG_NOSIGNAL);
        if (n >= 0) {
            nPos += static_cast<size_t>(n);
        } else if (WouldBlock(errno)) {
            return Result(IO_MORE);
        } else if (errno != EINTR) {
            return Failed("send", errno);
        }
    }
    return Result(IO_DONE);
}

SIoResult DiscardInput(int iFd, size_t nBudget) {
    char szBuf[16384];
    SIoResult oResult;
    for (size_t nTotal = 0; nTotal < nBudget;) {
        const ssize_t n = recv(iFd, szBuf, sizeof(szBuf), 0);
        if (n > 0) {
            nTotal += static_cast<size_t>(n);
        } else if (RecvStopped(n, oResult)) {
            return oResult;
        }
    }
    return Result(IO_MORE);
}

}  // namespace relay_net
