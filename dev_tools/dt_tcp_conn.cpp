#include "dev_tools/dt_tcp_conn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace dt {

namespace {

// "Connect: socket error(<errno>): <text>" for the errno of the call that just failed.
std::string ConnectErrText(int iErr) {
    return "Connect: socket error(" + ToStr<int32_t>(iErr) + "): " + strerror(iErr);
}

std::string SendErrText(int iErr) {
    return std::string("Write: send error:") + strerror(iErr);
}

// Drops the first nSent bytes from the front of the buffer list.
void AdvanceIov(msghdr& oMsg, size_t nSent) {
    while (nSent > 0) {
        iovec& oFirst = oMsg.msg_iov[0];
        if (nSent < oFirst.iov_len) {
            oFirst.iov_base = static_cast<char*>(oFirst.iov_base) + nSent;
            oFirst.iov_len -= nSent;
            return;
        }
        nSent -= oFirst.iov_len;
        ++oMsg.msg_iov;
        --oMsg.msg_iovlen;
    }
}

}  // namespace

uint32_t GetTickCount() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

CTcpConn::CTcpConn() : m_iFd(-1), m_bConnected(false), m_wSvrPort(0) {}

CTcpConn::~CTcpConn() {
    Close();
}

bool CTcpConn::Connect(const std::string& sIp, uint16_t wPort) {
    m_sSvrIp = sIp;
    m_wSvrPort = wPort;
    return _imp_connect();
}

void CTcpConn::Close() {
    if (m_iFd != -1) {
        close(m_iFd);
    }
    m_iFd = -1;
    m_bConnected = false;
}

int CTcpConn::Send(const char* pData, size_t nSize, uint32_t dwTimeout) {
    if (nSize > static_cast<size_t>(INT_MAX)) {
        m_sErrMsg = SendErrText(EMSGSIZE);
        return -1;
    }
    iovec oIov = {const_cast<char*>(pData), nSize};
    return SendIov(&oIov, 1, dwTimeout) ? static_cast<int>(nSize) : -1;
}

int CTcpConn::Send(const std::string& sData, uint32_t dwTimeout) {
    return Send(sData.data(), sData.size(), dwTimeout);
}

int CTcpConn::Recv_n(char* pData, size_t nSize, uint32_t dwTimeout) {
    if (!m_bConnected) {
        m_sErrMsg = "Connect fail or no create connect.";
        return -1;
    }
    if (nSize > static_cast<size_t>(INT_MAX)) {
        m_sErrMsg = std::string("Read: recv error:") + strerror(EINVAL);
        return -1;
    }
    timeval tv;
    set_timeval(tv, dwTimeout);
    setsockopt(m_iFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    const uint32_t dwStartTime = GetTickCount();
    size_t nReadSize = 0;
    while (nReadSize < nSize) {
        const ssize_t n = recv(m_iFd, pData + nReadSize, nSize - nReadSize, 0);
        if (n == 0) {
            Close();
            return static_cast<int>(nReadSize);
        }
        // EAGAIN is also what a receive time-out gives: the clock below decides.
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            m_sErrMsg = std::string("Read: recv error:") + strerror(errno);
            return -1;
        }
        if (n > 0) {
            nReadSize += static_cast<size_t>(n);
        }
        if (static_cast<uint32_t>(GetTickCount() - dwStartTime) > dwTimeout) {
            break;
        }
    }
    return static_cast<int>(nReadSize);
}

bool CTcpConn::_imp_connect() {
    if (m_iFd != -1) {
        Close();
    }
    m_iFd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_iFd == -1) {
        m_sErrMsg = ConnectErrText(errno);
        return false;
    }
    sockaddr_in sockSvrAddr;
    memset(&sockSvrAddr, 0, sizeof(sockSvrAddr));
    sockSvrAddr.sin_family = AF_INET;
    sockSvrAddr.sin_addr.s_addr = inet_addr(m_sSvrIp.c_str());
    sockSvrAddr.sin_port = htons(m_wSvrPort);
    if (connect(m_iFd, reinterpret_cast<const sockaddr*>(&sockSvrAddr), sizeof(sockSvrAddr)) ==
        -1) {
        m_sErrMsg = ConnectErrText(errno);
        Close();
        return false;
    }
    m_bConnected = true;
    return true;
}

bool CTcpConn::SendIov(iovec* pIov, int iCount, uint32_t dwTimeout) {
    if (!m_bConnected) {
        // A failed reconnect leaves no socket: the send below then reports the failure.
        _imp_connect();
    }
    timeval tv;
    set_timeval(tv, dwTimeout);
    setsockopt(m_iFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));

    msghdr oMsg;
    memset(&oMsg, 0, sizeof(oMsg));
    oMsg.msg_iov = pIov;
    oMsg.msg_iovlen = static_cast<size_t>(iCount);
    size_t nLeft = 0;
    for (int i = 0; i < iCount; ++i) {
        nLeft += pIov[i].iov_len;
    }
    // At least one call, so that an empty buffer on a dead socket still fails. A send
    // time-out gives EAGAIN when nothing went out, otherwise a short count.
    do {
        const ssize_t n = sendmsg(m_iFd, &oMsg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_sErrMsg = SendErrText(errno);
            Close();
            return false;
        }
        nLeft -= static_cast<size_t>(n);
        AdvanceIov(oMsg, static_cast<size_t>(n));
    } while (nLeft > 0);
    return true;
}

bool CTcpConn::FailInvalidPkgSize(uint64_t nPkgSize) {
    m_sErrMsg = "Invalid pkg size. pkg_size: " + to_str(nPkgSize);
    return false;
}

void CTcpConn::set_timeval(timeval& tv, size_t nMsec) {
    tv.tv_sec = static_cast<time_t>(nMsec / 1000);
    tv.tv_usec = static_cast<suseconds_t>((nMsec % 1000) * 1000);
}

}  // namespace dt
