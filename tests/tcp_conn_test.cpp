// The TCP connection and the framed exchange against scripted peers on 127.0.0.1.
// Each peer listens on an ephemeral port and plays one script per accepted connection in
// a thread of its own; every wait on either side is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "dev_tools/dt_tcp_conn.h"
#include "fanout_client/pkg_define.h"
#include "tests/wire_bytes.h"

using wire_bytes::Be32;
using wire_bytes::Frame;

namespace {

const char kLoopback[] = "127.0.0.1";
const int kPeerWaitMs = 3000;   // the longest any peer waits for anything
const uint32_t kShortMs = 200;  // client limit where a test expects the client to wait
const uint32_t kLongMs = 3000;  // client limit where a test expects no wait
const size_t kMailSize = 4u << 20;

void SetTimeouts(int iFd, int iMs) {
    const timeval tv = {iMs / 1000, (iMs % 1000) * 1000};
    setsockopt(iFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(iFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Reads until nMax bytes, the client's close, an error or the descriptor's time limit.
std::string ReadUpTo(int iFd, size_t nMax) {
    std::string sGot;
    char szBuf[1 << 16];
    while (sGot.size() < nMax) {
        const ssize_t n = recv(iFd, szBuf, std::min(sizeof(szBuf), nMax - sGot.size()), 0);
        if (n <= 0) {
            break;
        }
        sGot.append(szBuf, static_cast<size_t>(n));
    }
    return sGot;
}

std::string ReadAll(int iFd) {
    return ReadUpTo(iFd, SIZE_MAX);
}

// One request frame: the head, then as many bytes as its length field says.
std::string ReadFrame(int iFd) {
    std::string sFrame = ReadUpTo(iFd, 5);
    if (sFrame.size() == 5) {
        const uint32_t dwSize = wire_bytes::ReadBe32(sFrame.data() + 1);
        if (dwSize > 5) {
            sFrame += ReadUpTo(iFd, dwSize - 5);
        }
    }
    return sFrame;
}

void WriteAll(int iFd, const std::string& sData) {
    size_t nDone = 0;
    while (nDone < sData.size()) {
        const ssize_t n = send(iFd, sData.data() + nDone, sData.size() - nDone, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        nDone += static_cast<size_t>(n);
    }
}

// Waits, reading nothing, until the client closes its end; false when it never did.
bool AwaitHangUp(int iFd) {
    pollfd oPoll = {iFd, POLLRDHUP, 0};
    return poll(&oPoll, 1, kPeerWaitMs) == 1 && (oPoll.revents & POLLRDHUP) != 0;
}

// Ends the connection with a reset instead of an orderly close.
void Reset(int& iFd) {
    const linger oLinger = {1, 0};
    setsockopt(iFd, SOL_SOCKET, SO_LINGER, &oLinger, sizeof(oLinger));
    close(iFd);
    iFd = -1;
}

// A payload of every byte value in turn, so shifted or lost bytes show.
std::string Pattern(size_t nSize) {
    std::string s(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        s[i] = static_cast<char>(i * 7 % 256);
    }
    return s;
}

// Listens on 127.0.0.1 at an ephemeral port; a thread accepts nConns connections one
// after another and runs the script on each. The script may close the descriptor and
// set it to -1; otherwise it is closed after the script.
class CPeer {
public:
    typedef std::function<void(int& iFd)> Script;

    explicit CPeer(Script fnScript, int nConns = 1, int iRcvBuf = 0) {
        m_iListenFd = socket(AF_INET, SOCK_STREAM, 0);
        if (iRcvBuf > 0) {
            setsockopt(m_iListenFd, SOL_SOCKET, SO_RCVBUF, &iRcvBuf, sizeof(iRcvBuf));
        }
        sockaddr_in oAddr;
        memset(&oAddr, 0, sizeof(oAddr));
        oAddr.sin_family = AF_INET;
        oAddr.sin_addr.s_addr = inet_addr(kLoopback);
        socklen_t nLen = sizeof(oAddr);
        if (bind(m_iListenFd, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr)) != 0 ||
            listen(m_iListenFd, 8) != 0 ||
            getsockname(m_iListenFd, reinterpret_cast<sockaddr*>(&oAddr), &nLen) != 0) {
            ADD_FAILURE() << "peer cannot listen: " << strerror(errno);
        }
        m_wPort = ntohs(oAddr.sin_port);
        m_oThread = std::thread([this, fnScript, nConns] {
            for (int i = 0; i < nConns; ++i) {
                pollfd oPoll = {m_iListenFd, POLLIN, 0};
                if (poll(&oPoll, 1, kPeerWaitMs) != 1) {
                    return;
                }
                int iFd = accept(m_iListenFd, nullptr, nullptr);
                if (iFd < 0) {
                    return;
                }
                SetTimeouts(iFd, kPeerWaitMs);
                fnScript(iFd);
                if (iFd >= 0) {
                    close(iFd);
                }
            }
        });
    }
    ~CPeer() {
        Join();
        close(m_iListenFd);
    }
    CPeer(const CPeer&) = delete;
    CPeer& operator=(const CPeer&) = delete;

    uint16_t Port() const { return m_wPort; }
    void Join() {
        if (m_oThread.joinable()) {
            m_oThread.join();
        }
    }

private:
    int m_iListenFd;
    uint16_t m_wPort;
    std::thread m_oThread;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t ClosedPort() {
    const int iFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in oAddr;
    memset(&oAddr, 0, sizeof(oAddr));
    oAddr.sin_family = AF_INET;
    oAddr.sin_addr.s_addr = inet_addr(kLoopback);
    socklen_t nLen = sizeof(oAddr);
    bind(iFd, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr));
    getsockname(iFd, reinterpret_cast<sockaddr*>(&oAddr), &nLen);
    close(iFd);
    return ntohs(oAddr.sin_port);
}

bool Exchange(uint16_t wPort, std::string& sData, std::string& sErrMsg, uint32_t dwTimeout) {
    return dt::CTcpConn::SendRecvPkgByHead2Tail3<PKG_SIZE_T>(kLoopback, wPort, sData, sErrMsg,
                                                             dwTimeout);
}

}  // namespace

TEST(TcpConn, GetTickCountAdvancesInMilliseconds) {
    const uint32_t dwStart = dt::GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t dwElapsed = dt::GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 25u);
    EXPECT_LT(dwElapsed, 5000u);
}

TEST(TcpConn, ConnectRefused) {
    dt::CTcpConn oConn;
    EXPECT_FALSE(oConn.Connect(kLoopback, ClosedPort()));
    EXPECT_STREQ(oConn.GetErrMsg(), "Connect: socket error(111): Connection refused");
    char szBuf[1];
    EXPECT_EQ(oConn.Recv_n(szBuf, 1, kShortMs), -1);
}

TEST(TcpConn, CloseIsHarmlessAnyTime) {
    dt::CTcpConn oConn;
    oConn.Close();
    oConn.Close();
    CPeer oPeer([](int& iFd) { AwaitHangUp(iFd); });
    ASSERT_TRUE(oConn.Connect(kLoopback, oPeer.Port()));
    oConn.Close();
    oConn.Close();
    EXPECT_STREQ(oConn.GetErrMsg(), "");
}

TEST(TcpConn, ConnectDropsThePreviousSocket) {
    bool bFirstHungUp = false;
    CPeer oFirst([&](int& iFd) { bFirstHungUp = AwaitHangUp(iFd); });
    CPeer oSecond([](int& iFd) { AwaitHangUp(iFd); });
    dt::CTcpConn oConn;
    ASSERT_TRUE(oConn.Connect(kLoopback, oFirst.Port()));
    ASSERT_TRUE(oConn.Connect(kLoopback, oSecond.Port()));
    oFirst.Join();
    EXPECT_TRUE(bFirstHungUp);
}

TEST(TcpConn, SendAfterCloseReconnects) {
    std::string sGot;
    CPeer oPeer([&](int& iFd) { sGot += ReadAll(iFd); }, 2);
    dt::CTcpConn oConn;
    ASSERT_TRUE(oConn.Connect(kLoopback, oPeer.Port()));
    oConn.Close();
    EXPECT_EQ(oConn.Send(std::string("x\0y", 3), kLongMs), 3);
    oConn.Close();
    oPeer.Join();
    EXPECT_EQ(sGot, std::string("x\0y", 3));
}

TEST(TcpConn, CountsAboveIntMaxAreRefused) {
    CPeer oPeer([](int& iFd) { AwaitHangUp(iFd); });
    dt::CTcpConn oConn;
    ASSERT_TRUE(oConn.Connect(kLoopback, oPeer.Port()));
    char szBuf[1] = {0};
    const size_t nHuge = static_cast<size_t>(INT_MAX) + 1;
    EXPECT_EQ(oConn.Send(szBuf, nHuge, kShortMs), -1);
    EXPECT_STREQ(oConn.GetErrMsg(), "Write: send error:Message too long");
    EXPECT_EQ(oConn.Recv_n(szBuf, nHuge, kShortMs), -1);
    EXPECT_STREQ(oConn.GetErrMsg(), "Read: recv error:Invalid argument");
}

TEST(TcpConn, RecvShortThenClosed) {
    CPeer oPeer([](int& iFd) { WriteAll(iFd, "abc"); });
    dt::CTcpConn oConn;
    ASSERT_TRUE(oConn.Connect(kLoopback, oPeer.Port()));
    char szBuf[5] = {0};
    EXPECT_EQ(oConn.Recv_n(szBuf, 5, kLongMs), 3);
    EXPECT_EQ(std::string(szBuf, 3), "abc");
    EXPECT_STREQ(oConn.GetErrMsg(), "");
    EXPECT_EQ(oConn.Recv_n(szBuf, 5, kLongMs), -1);
    EXPECT_STREQ(oConn.GetErrMsg(), "Connect fail or no create connect.");
}

TEST(TcpConn, RecvTimeOutLeavesTheConnectionOpen) {
    std::promise<void> oTimedOut;
    std::future<void> oTimedOutSeen = oTimedOut.get_future();
    CPeer oPeer([&](int& iFd) {
        if (oTimedOutSeen.wait_for(std::chrono::milliseconds(kPeerWaitMs)) ==
            std::future_status::ready) {
            WriteAll(iFd, "xy");
        }
    });
    dt::CTcpConn oConn;
    ASSERT_TRUE(oConn.Connect(kLoopback, oPeer.Port()));
    char szBuf[5] = {0};
    EXPECT_EQ(oConn.Recv_n(szBuf, 0, kShortMs), 0);
    EXPECT_EQ(oConn.Recv_n(szBuf, 5, kShortMs), 0);
    EXPECT_STREQ(oConn.GetErrMsg(), "");
    oTimedOut.set_value();
    EXPECT_EQ(oConn.Recv_n(szBuf, 5, kLongMs), 2);
    EXPECT_EQ(std::string(szBuf, 2), "xy");
}

// The request frame as the peer receives it.
TEST(FramedExchange, RequestFrameBytes) {
    const struct {
        std::string sPayload;
        std::string sFrame;
    } kCases[] = {
        {"", std::string("\x02\x00\x00\x00\x06\x03", 6)},
        {"ABC", std::string("\x02\x00\x00\x00\x09"
                            "ABC\x03",
                            9)},
        {std::string("\x02\x03\x00", 3), std::string("\x02\x00\x00\x00\x09\x02\x03\x00\x03", 9)},
        {std::string(43, '\0'),
         std::string("\x02\x00\x00\x00\x31", 5) + std::string(43, '\0') + "\x03"},
        {Pattern(76), std::string("\x02\x00\x00\x00\x52", 5) + Pattern(76) + "\x03"},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        std::string sGot;
        CPeer oPeer([&](int& iFd) {
            sGot = ReadFrame(iFd);
            WriteAll(iFd, Frame("ok"));
        });
        std::string sData = kCases[i].sPayload;
        std::string sErrMsg;
        EXPECT_TRUE(Exchange(oPeer.Port(), sData, sErrMsg, kLongMs)) << sErrMsg;
        oPeer.Join();
        EXPECT_EQ(sGot, kCases[i].sFrame);
        EXPECT_EQ(sData, "ok");
        EXPECT_EQ(sErrMsg, "");
    }
}

// A payload given in parts goes out as the same frame as given whole, however it is cut
// (empty parts, more parts than one send takes).
TEST(FramedExchange, PartsMakeTheFrameOfTheWhole) {
    const struct {
        std::string sPayload;
        std::vector<size_t> vecCuts;  // part lengths, the rest in a last part
    } kCases[] = {
        {"", {}},
        {"", {0, 0}},
        {"ABC", {0, 1, 0, 1}},
        {Pattern(76), {43, 4, 5, 4}},
        {Pattern(3000), std::vector<size_t>(2500, 1)},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const std::string& sPayload = kCases[i].sPayload;
        std::vector<iovec> vecParts;
        size_t nAt = 0;
        for (const size_t nCut : kCases[i].vecCuts) {
            vecParts.push_back({const_cast<char*>(sPayload.data() + nAt), nCut});
            nAt += nCut;
        }
        vecParts.push_back({const_cast<char*>(sPayload.data() + nAt), sPayload.size() - nAt});
        std::string sGot;
        CPeer oPeer([&](int& iFd) {
            sGot = ReadFrame(iFd);
            WriteAll(iFd, Frame("ok"));
        });
        std::string sReply;
        std::string sErrMsg;
        EXPECT_TRUE(dt::CTcpConn::SendRecvPartsByHead2Tail3<uint32_t>(
            "127.0.0.1", oPeer.Port(), vecParts.data(), vecParts.size(), sReply, sErrMsg, kLongMs))
            << sErrMsg;
        oPeer.Join();
        EXPECT_EQ(sGot, Frame(sPayload));
        EXPECT_EQ(sReply, "ok");
    }
}

// Parts whose lengths add up past what the 32-bit length field holds are refused before a
// byte is sent. The sum is taken in 64 bits, also where size_t has 32 and it would wrap to
// a small frame; the parts themselves are never read.
TEST(FramedExchange, PartsPastTheLengthFieldAreRefused) {
    const size_t kGiB = size_t(1) << 30;
    const struct {
        std::vector<size_t> vecLens;
        std::string sErrMsg;
    } kCases[] = {
        {{kGiB, kGiB, kGiB, kGiB}, "Invalid pkg size. pkg_size: 4294967302"},
        {{kGiB, kGiB, kGiB, kGiB - 5}, "Invalid pkg size. pkg_size: 4294967297"},
    };
    char cByte = 0;
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        std::vector<iovec> vecParts;
        for (const size_t nLen : kCases[i].vecLens) {
            vecParts.push_back({&cByte, nLen});
        }
        std::string sGot;
        CPeer oPeer([&](int& iFd) { sGot = ReadAll(iFd); });
        std::string sReply;
        std::string sErrMsg;
        EXPECT_FALSE(dt::CTcpConn::SendRecvPartsByHead2Tail3<uint32_t>(
            "127.0.0.1", oPeer.Port(), vecParts.data(), vecParts.size(), sReply, sErrMsg, kLongMs));
        oPeer.Join();
        EXPECT_EQ(sErrMsg, kCases[i].sErrMsg);
        EXPECT_EQ(sGot, "");
    }
}

// Every way a reply can go wrong, and the replies that must pass.
TEST(FramedExchange, ReplyOutcomes) {
    enum EPeerEnd { PE_CLOSE, PE_RESET, PE_WAIT };  // after the reply: close, reset, wait
    const struct {
        std::string sReply;
        EPeerEnd eEnd;
        bool bOk;
        std::string sExpect;  // the payload after success, else the error text
    } kCases[] = {
        {"", PE_CLOSE, false, "Session closed by peer: "},
        {"", PE_WAIT, false, "Session closed by peer: "},
        {"", PE_RESET, false, "Recv pkg failed! Msg: Read: recv error:Connection reset by peer"},
        {"\x05" + Frame("abc").substr(1), PE_WAIT, false, "STX error!"},
        {"\x02" + Be32(0), PE_WAIT, false, "Invalid pkg size. pkg_size: 0"},
        {"\x02" + Be32(1), PE_WAIT, false, "Invalid pkg size. pkg_size: 1"},
        {"\x02" + Be32(2), PE_WAIT, false, "Invalid pkg size. pkg_size: 2"},
        {"\x02" + Be32(3), PE_WAIT, false, "Invalid pkg size. pkg_size: 3"},
        {"\x02" + Be32(4), PE_WAIT, false, "Invalid pkg size. pkg_size: 4"},
        {"\x02" + Be32(5), PE_WAIT, false, "Session closed by peer!"},
        {"\x02" + Be32(16777217), PE_WAIT, false, "Invalid pkg size. pkg_size: 16777217"},
        {"\x02" + Be32(4294967295u), PE_WAIT, false, "Invalid pkg size. pkg_size: 4294967295"},
        {"\x02" + Be32(9) + std::string("ABC\0", 4), PE_WAIT, false, "ETX error!"},
        {"\x02" + Be32(9), PE_WAIT, false, "Session closed by peer!"},
        {"\x02" + Be32(9), PE_CLOSE, false, "Session closed by peer!"},
        {"\x02" + Be32(9) + "AB", PE_CLOSE, false, "Incomplete pkg. pkg_size: 9, recv_size: 7"},
        {"\x02" + Be32(9) + "A", PE_WAIT, false, "Incomplete pkg. pkg_size: 9, recv_size: 6"},
        {"\x02" + Be32(9) + "A", PE_RESET, false,
         "Recv pkg failed! Msg: Read: recv error:Connection reset by peer"},
        // A head cut short by the close is judged on its zero-filled bytes.
        {"\x02", PE_CLOSE, false, "Invalid pkg size. pkg_size: 0"},
        {std::string("\x02\x00\x00\x01", 4), PE_CLOSE, false,
         "Recv pkg failed! Msg: Connect fail or no create connect."},
        {Frame(""), PE_CLOSE, true, ""},
        {Frame(std::string("\x02\x03\x00\x03\x02", 5)), PE_CLOSE, true,
         std::string("\x02\x03\x00\x03\x02", 5)},
        {Frame("Z") + "trailing", PE_WAIT, true, "Z"},
    };
    const std::string sRequest("req\x00\x03", 5);
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const auto& oCase = kCases[i];
        CPeer oPeer([&](int& iFd) {
            ReadFrame(iFd);
            WriteAll(iFd, oCase.sReply);
            if (oCase.eEnd == PE_RESET) {
                Reset(iFd);
            } else if (oCase.eEnd == PE_WAIT) {
                AwaitHangUp(iFd);
            }
        });
        std::string sData = sRequest;
        std::string sErrMsg;
        const bool bOk = Exchange(oPeer.Port(), sData, sErrMsg, kShortMs);
        EXPECT_EQ(bOk, oCase.bOk);
        if (oCase.bOk) {
            EXPECT_EQ(sData, oCase.sExpect);
            EXPECT_EQ(sErrMsg, "");
        } else {
            EXPECT_EQ(sErrMsg, oCase.sExpect);
            EXPECT_EQ(sData, sRequest);
        }
    }
}

TEST(FramedExchange, LargestReplyIsAccepted) {
    const std::string sPayload = Pattern(dt::CTcpConn::kMaxRecvPkgSize - 6);
    CPeer oPeer([&](int& iFd) {
        ReadFrame(iFd);
        WriteAll(iFd, Frame(sPayload));
    });
    std::string sData = "req";
    std::string sErrMsg;
    EXPECT_TRUE(Exchange(oPeer.Port(), sData, sErrMsg, kLongMs)) << sErrMsg;
    EXPECT_TRUE(sData == sPayload);
}

TEST(FramedExchange, ReplyInSmallPieces) {
    const std::string sPayload = std::string("\x02\x03\x00", 3) + Pattern(60);
    const std::string sReply = Frame(sPayload);
    CPeer oPeer([&](int& iFd) {
        const int iNoDelay = 1;
        setsockopt(iFd, IPPROTO_TCP, TCP_NODELAY, &iNoDelay, sizeof(iNoDelay));
        ReadFrame(iFd);
        for (size_t i = 0; i < sReply.size(); i += 3) {
            WriteAll(iFd, sReply.substr(i, 3));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string sData = "req";
    std::string sErrMsg;
    EXPECT_TRUE(Exchange(oPeer.Port(), sData, sErrMsg, kLongMs)) << sErrMsg;
    EXPECT_EQ(sData, sPayload);
}

TEST(FramedExchange, EchoKeepsFrameBytesInsidePayload) {
    const std::string sPayload = std::string("\x02\x00\x00\x00\x06\x03\x03\x02\x00", 9) + "end";
    CPeer oPeer([](int& iFd) { WriteAll(iFd, ReadFrame(iFd)); });
    std::string sData = sPayload;
    std::string sErrMsg;
    EXPECT_TRUE(Exchange(oPeer.Port(), sData, sErrMsg, kLongMs)) << sErrMsg;
    EXPECT_EQ(sData, sPayload);
}

TEST(FramedExchange, SlowReaderGetsTheWholeMailFrame) {
    // A small receive buffer read in small bites for 800 ms makes single sends stop short
    // at the 500 ms limit; the rest is read at full speed so the reply comes in time.
    std::string sGot;
    sGot.reserve(kMailSize + 6);
    CPeer oPeer(
        [&](int& iFd) {
            char szBuf[1 << 16];
            ssize_t n = 1;
            for (int i = 0; n > 0 && sGot.size() < kMailSize + 6; ++i) {
                const bool bSlow = i < 40;
                n = recv(iFd, szBuf, bSlow ? 4096 : sizeof(szBuf), 0);
                sGot.append(szBuf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
                if (bSlow) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            WriteAll(iFd, Frame("done"));
        },
        1, 16 << 10);
    const std::string sPayload = Pattern(kMailSize);
    std::string sData = sPayload;
    std::string sErrMsg;
    EXPECT_TRUE(Exchange(oPeer.Port(), sData, sErrMsg, 500)) << sErrMsg;
    oPeer.Join();
    EXPECT_TRUE(sData == "done");
    EXPECT_TRUE(sGot == Frame(sPayload)) << "peer got " << sGot.size() << " bytes";
}

TEST(FramedExchange, PeerClosingDuringAMailSendIsASendError) {
    CPeer oPeer([](int& iFd) {
        close(iFd);
        iFd = -1;
    });
    std::string sData = Pattern(kMailSize);
    std::string sErrMsg;
    EXPECT_FALSE(Exchange(oPeer.Port(), sData, sErrMsg, kLongMs));
    EXPECT_EQ(sErrMsg.rfind("Write: send error:", 0), 0u) << sErrMsg;
    EXPECT_GT(sErrMsg.size(), strlen("Write: send error:"));
    EXPECT_EQ(sData.size(), kMailSize);
}

TEST(FramedExchange, PeerNotReadingIsASendTimeOut) {
    std::promise<void> oDone;
    std::future<void> oDoneSeen = oDone.get_future();
    CPeer oPeer([&](int&) { oDoneSeen.wait_for(std::chrono::milliseconds(kPeerWaitMs)); }, 1,
                4 << 10);
    std::string sData = Pattern(kMailSize);
    std::string sErrMsg;
    EXPECT_FALSE(Exchange(oPeer.Port(), sData, sErrMsg, kShortMs));
    oDone.set_value();
    EXPECT_EQ(sErrMsg, "Write: send error:Resource temporarily unavailable");
}

// A frame whose size does not fit the length field is refused before anything is sent;
// a 16-bit length field (head 3 bytes, tail 1) shows the bound without gigabytes of payload.
TEST(FramedExchange, FrameBeyondTheLengthFieldIsNotSent) {
    std::string sGot;
    CPeer oPeer([&](int& iFd) { sGot = ReadAll(iFd); });
    dt::CTcpConn oConn;
    ASSERT_TRUE(oConn.Connect(kLoopback, oPeer.Port()));
    std::string sTooBig = Pattern(65532);
    EXPECT_FALSE(oConn.SendPkgByHead2Tail3<uint16_t>(sTooBig, kLongMs));
    EXPECT_STREQ(oConn.GetErrMsg(), "Invalid pkg size. pkg_size: 65536");
    std::string sLargest = Pattern(65531);
    EXPECT_TRUE(oConn.SendPkgByHead2Tail3<uint16_t>(sLargest, kLongMs));
    oConn.Close();
    oPeer.Join();
    EXPECT_TRUE(sGot == "\x02\xFF\xFF" + sLargest + "\x03") << "peer got " << sGot.size();
}

TEST(FramedExchange, RefusedThenGoodServer) {
    CPeer oPeer([](int& iFd) {
        ReadFrame(iFd);
        WriteAll(iFd, Frame("reply"));
    });
    std::string sData = "request";
    std::string sErrMsg;
    EXPECT_FALSE(Exchange(ClosedPort(), sData, sErrMsg, kLongMs));
    EXPECT_EQ(sErrMsg, "Connect: socket error(111): Connection refused");
    EXPECT_EQ(sData, "request");
    sErrMsg.clear();
    EXPECT_TRUE(Exchange(oPeer.Port(), sData, sErrMsg, kLongMs));
    EXPECT_EQ(sData, "reply");
    EXPECT_EQ(sErrMsg, "");
}
