// The client end of one TCP connection to an IPv4 server, and the framed exchange of
// one request package and one reply package over it.
//
// A frame on the stream is: the byte 0x02, the whole frame's size as a big-endian T
// (0x02 and 0x03 included), the payload bytes as they are, the byte 0x03.
//
//   std::string sData = sRequest;  // the reply replaces it after success
//   std::string sErrMsg;
//   if (!dt::CTcpConn::SendRecvPkgByHead2Tail3<uint32_t>("127.0.0.1", 12463, sData,
//                                                         sErrMsg, 3000)) { ... }
//
// Failures give false or -1 and keep their text in the object (GetErrMsg); nothing
// throws. Sends never raise the broken-pipe signal. One object serves one thread.
#ifndef DEV_TOOLS_DT_TCP_CONN_H
#define DEV_TOOLS_DT_TCP_CONN_H

#include <sys/time.h>
#include <sys/uio.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "dev_tools/dt_frame.h"
#include "dev_tools/utils.h"

namespace dt {

// Milliseconds from the system clock, wrapping modulo 2^32 (about every 49.7 days).
// Only the difference of two readings, taken as uint32_t, is meaningful.
uint32_t GetTickCount();

class CTcpConn {
public:
    CTcpConn();
    ~CTcpConn();

    // Stores the address (dotted quad, not validated) and port, then connects. An
    // open socket is closed first. The connect waits as long as the system's attempt.
    bool Connect(const std::string& sIp, uint16_t wPort);
    // Closes the socket; harmless when none is open, any number of times.
    void Close();

    // Sends all nSize bytes, each wait bounded by dwTimeout ms; reconnects first to the
    // stored address when not connected. Returns nSize, or -1 after closing the
    // connection (-1 without closing for a count above INT_MAX, which an int cannot report).
    int Send(const char* pData, size_t nSize, uint32_t dwTimeout);
    int Send(const std::string& sData, uint32_t dwTimeout);

    // Reads nSize bytes, fewer when the peer closes (the object is then closed) or when
    // dwTimeout ms have passed since the call began (the object stays open, no message).
    // Returns the count read, or -1.
    int Recv_n(char* pData, size_t nSize, uint32_t dwTimeout);

    // The text of the last failure; valid until the next failure or destruction.
    const char* GetErrMsg() const { return m_sErrMsg.c_str(); }

    // Sends sData (unchanged) as one frame, every byte of it, or fails.
    template <typename T>
    bool SendPkgByHead2Tail3(std::string& sData, uint32_t dwTimeout);
    // Reads one frame; on success sData holds its payload, on failure sData is unchanged.
    template <typename T>
    bool RecvPkgByHead2Tail3(std::string& sData, uint32_t dwTimeout);
    // One exchange on a connection of its own: connect, send sData, read the reply into
    // sData. On failure sData keeps the request and sErrMsg gets the reason.
    template <typename T>
    static bool SendRecvPkgByHead2Tail3(const std::string& sIp, uint16_t wPort, std::string& sData,
                                        std::string& sErrMsg, uint32_t dwTimeout);

    // Sends one frame whose payload is the nParts buffers in order, every byte, or fails;
    // no payload byte is copied on the way to the socket.
    template <typename T>
    bool SendPartsByHead2Tail3(const iovec* pParts, size_t nParts, uint32_t dwTimeout);
    // One exchange as SendRecvPkgByHead2Tail3, the request given as parts; the reply goes
    // to sReply, which is unchanged on failure.
    template <typename T>
    static bool SendRecvPartsByHead2Tail3(const std::string& sIp, uint16_t wPort,
                                          const iovec* pParts, size_t nParts, std::string& sReply,
                                          std::string& sErrMsg, uint32_t dwTimeout);

    // The largest reply frame accepted; its body buffer is sized from the length field.
    static constexpr uint64_t kMaxRecvPkgSize = 16u * 1024 * 1024;

private:
    CTcpConn(const CTcpConn&);
    CTcpConn& operator=(const CTcpConn&);

    bool _imp_connect();
    // Sends the bytes of iCount buffers in order, all of them, retrying after
    // interruptions and partial sends. On failure sets the message and closes.
    bool SendIov(iovec* pIov, int iCount, uint32_t dwTimeout);
    bool FailInvalidPkgSize(uint64_t nPkgSize);
    void set_timeval(timeval& tv, size_t nMsec);

    // Byte-order conversion of an unsigned integer to and from big-endian, as T.
    template <typename T, typename U>
    static T conv_host_to_net(const U& num);
    template <typename T, typename U>
    static T conv_net_to_host(const U& num);

    std::string m_sErrMsg;
    int m_iFd;
    bool m_bConnected;
    std::string m_sSvrIp;
    uint16_t m_wSvrPort;
};

template <typename T, typename U>
T CTcpConn::conv_host_to_net(const U& num) {
    static_assert(std::is_unsigned<T>::value, "the length field is an unsigned integer");
    const T tValue = static_cast<T>(num);
    unsigned char szBytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) {
        szBytes[i] = static_cast<unsigned char>(tValue >> (8 * (sizeof(T) - 1 - i)));
    }
    T tNet;
    memcpy(&tNet, szBytes, sizeof(T));
    return tNet;
}

template <typename T, typename U>
T CTcpConn::conv_net_to_host(const U& num) {
    static_assert(std::is_unsigned<T>::value, "the length field is an unsigned integer");
    const T tNet = static_cast<T>(num);
    unsigned char szBytes[sizeof(T)];
    memcpy(szBytes, &tNet, sizeof(T));
    T tValue = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        tValue = static_cast<T>((tValue << 8) | szBytes[i]);
    }
    return tValue;
}

template <typename T>
bool CTcpConn::SendPkgByHead2Tail3(std::string& sData, uint32_t dwTimeout) {
    constexpr size_t nHeadSize = 1 + sizeof(T);
    const uint64_t nPkgSize = static_cast<uint64_t>(sData.size()) + nHeadSize + 1;
    if (nPkgSize > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
        return FailInvalidPkgSize(nPkgSize);
    }
    // Head, payload and tail go out from where they lie: the payload is never copied.
    char szHead[nHeadSize];
    szHead[0] = kStx;
    const T tNetSize = conv_host_to_net<T>(nPkgSize);
    memcpy(szHead + 1, &tNetSize, sizeof(T));
    char cTail = kEtx;
    iovec arrIov[3] = {
        {szHead, nHeadSize}, {const_cast<char*>(sData.data()), sData.size()}, {&cTail, 1}};
    return SendIov(arrIov, 3, dwTimeout);
}

template <typename T>
bool CTcpConn::SendPartsByHead2Tail3(const iovec* pParts, size_t nParts, uint32_t dwTimeout) {
    constexpr size_t nHeadSize = 1 + sizeof(T);
    uint64_t nPkgSize = nHeadSize + 1;
    for (size_t i = 0; i < nParts; ++i) {
        nPkgSize += pParts[i].iov_len;
    }
    if (nPkgSize > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
        return FailInvalidPkgSize(nPkgSize);
    }
    char szHead[nHeadSize];
    szHead[0] = kStx;
    const T tNetSize = conv_host_to_net<T>(nPkgSize);
    memcpy(szHead + 1, &tNetSize, sizeof(T));
    char cTail = kEtx;
    std::vector<iovec> vecIov;
    vecIov.reserve(nParts + 2);
    vecIov.push_back({szHead, nHeadSize});
    vecIov.insert(vecIov.end(), pParts, pParts + nParts);
    vecIov.push_back({&cTail, 1});
    // As many buffers at a time as one call takes.
    for (size_t i = 0; i < vecIov.size(); i += IOV_MAX) {
        const size_t nCount = std::min<size_t>(IOV_MAX, vecIov.size() - i);
        if (!SendIov(&vecIov[i], static_cast<int>(nCount), dwTimeout)) {
            return false;
        }
    }
    return true;
}

template <typename T>
bool CTcpConn::RecvPkgByHead2Tail3(std::string& sData, uint32_t dwTimeout) {
    // A head cut short by the peer's close is judged on its zero-filled bytes.
    char szHead[1 + sizeof(T)] = {};
    int iRet = Recv_n(szHead, sizeof(szHead), dwTimeout);
    if (iRet == 0) {
        m_sErrMsg = "Session closed by peer: " + m_sErrMsg;
        return false;
    }
    if (iRet < 0) {
        m_sErrMsg = "Recv pkg failed! Msg: " + m_sErrMsg;
        return false;
    }
    if (szHead[0] != kStx) {
        m_sErrMsg = "STX error!";
        return false;
    }
    T tNetSize;
    memcpy(&tNetSize, szHead + 1, sizeof(T));
    const uint64_t nPkgSize = conv_net_to_host<T>(tNetSize);
    if (nPkgSize < sizeof(szHead) || nPkgSize > kMaxRecvPkgSize) {
        return FailInvalidPkgSize(nPkgSize);
    }

    const size_t nReadSize = static_cast<size_t>(nPkgSize) - sizeof(szHead);
    std::string sPkgData(nReadSize, '\0');
    iRet = Recv_n(&sPkgData[0], nReadSize, dwTimeout);
    if (iRet == 0) {
        m_sErrMsg = "Session closed by peer!";
        return false;
    }
    if (iRet < 0) {
        m_sErrMsg = "Recv pkg failed! Msg: " + m_sErrMsg;
        return false;
    }
    if (static_cast<size_t>(iRet) < nReadSize) {
        m_sErrMsg = "Incomplete pkg. pkg_size: " + to_str(nPkgSize) +
                    ", recv_size: " + to_str(sizeof(szHead) + static_cast<uint64_t>(iRet));
        return false;
    }
    if (sPkgData[nReadSize - 1] != kEtx) {
        m_sErrMsg = "ETX error!";
        return false;
    }
    sPkgData.resize(nReadSize - 1);
    sData.swap(sPkgData);
    return true;
}

template <typename T>
bool CTcpConn::SendRecvPkgByHead2Tail3(const std::string& sIp, uint16_t wPort, std::string& sData,
                                       std::string& sErrMsg, uint32_t dwTimeout) {
    CTcpConn oTcpConn;
    if (!oTcpConn.Connect(sIp, wPort) || !oTcpConn.SendPkgByHead2Tail3<T>(sData, dwTimeout) ||
        !oTcpConn.RecvPkgByHead2Tail3<T>(sData, dwTimeout)) {
        sErrMsg = oTcpConn.GetErrMsg();
        return false;
    }
    return true;
}

template <typename T>
bool CTcpConn::SendRecvPartsByHead2Tail3(const std::string& sIp, uint16_t wPort,
                                         const iovec* pParts, size_t nParts, std::string& sReply,
                                         std::string& sErrMsg, uint32_t dwTimeout) {
    CTcpConn oTcpConn;
    if (!oTcpConn.Connect(sIp, wPort) ||
        !oTcpConn.SendPartsByHead2Tail3<T>(pParts, nParts, dwTimeout) ||
        !oTcpConn.RecvPkgByHead2Tail3<T>(sReply, dwTimeout)) {
        sErrMsg = oTcpConn.GetErrMsg();
        return false;
    }
    return true;
}

}  // namespace dt

#endif  // DEV_TOOLS_DT_TCP_CONN_H
