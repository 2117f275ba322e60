// The client binary end to end against stub relays on the fixed channel ports of
// 127.0.0.1 (primary) and 127.0.0.2 (secondary): exact request bytes, failover, reply
// checks, validation messages and exit statuses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "fanout_client/console.h"
#include "fanout_client/settings.h"
#include "tests/test_support.h"
#include "tests/wire_bytes.h"

using test_support::CTempDir;
using test_support::FailureLine;
using test_support::kGreenOk;
using test_support::kRedError;
using test_support::RunClient;
using test_support::RunClientInMemory;
using test_support::SRunResult;
using wire_bytes::Frame;
using wire_bytes::ReadBe32;
using wire_bytes::ReplyPkg;
using wire_bytes::RequestHeader;

namespace {

const char kPrimary[] = "127.0.0.1";
const char kSecondary[] = "127.0.0.2";

// Reads exactly n bytes or fails within the poll limit.
bool ReadExact(int iFd, std::string& sOut, size_t n) {
    while (sOut.size() < n) {
        pollfd oPoll{iFd, POLLIN, 0};
        if (poll(&oPoll, 1, 5000) <= 0) {
            return false;
        }
        char szBuf[65536];
        const ssize_t r = read(iFd, szBuf, std::min(sizeof(szBuf), n - sOut.size()));
        if (r <= 0) {
            return false;
        }
        sOut.append(szBuf, static_cast<size_t>(r));
    }
    return true;
}

// One stub relay: accepts one connection, reads one request frame, answers sReply.
class CStubRelay {
public:
    CStubRelay(const char* szIp, uint16_t wPort, std::string sReply) : m_sReply(std::move(sReply)) {
        m_iListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int iOn = 1;
        setsockopt(m_iListenFd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
        sockaddr_in oAddr{};
        oAddr.sin_family = AF_INET;
        oAddr.sin_port = htons(wPort);
        oAddr.sin_addr.s_addr = inet_addr(szIp);
        if (bind(m_iListenFd, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr)) != 0 ||
            listen(m_iListenFd, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << szIp << ":" << wPort;
            return;
        }
        if (pipe2(m_aStop, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        m_oThread = std::thread([this] { Serve(); });
    }
    ~CStubRelay() {
        Request();
        close(m_iListenFd);
        close(m_aStop[0]);
        close(m_aStop[1]);
    }
    // The request payload (the package). Call after the client has ended: a connection
    // it made is then already queued, so the stub stops waiting for one.
    std::string Request() {
        if (m_oThread.joinable()) {
            if (write(m_aStop[1], "x", 1) != 1) {
                ADD_FAILURE() << "stop write failed";
            }
            m_oThread.join();
        }
        return m_sRequest;
    }
    bool Contacted() {
        Request();
        return m_bContacted;
    }

private:
    void Serve() {
        pollfd aPoll[2] = {{m_iListenFd, POLLIN, 0}, {m_aStop[0], POLLIN, 0}};
        if (poll(aPoll, 2, 30000) <= 0 || (aPoll[0].revents & POLLIN) == 0) {
            return;
        }
        const int iFd = accept(m_iListenFd, nullptr, nullptr);
        if (iFd < 0) {
            return;
        }
        m_bContacted = true;
        std::string sHead;
        if (ReadExact(iFd, sHead, 5)) {
            const uint32_t dwLen = ReadBe32(sHead.data() + 1);
            std::string sBody;
            if (dwLen >= 6 && ReadExact(iFd, sBody, dwLen - 5)) {
                m_sRequest = sBody.substr(0, sBody.size() - 1);
            }
            if (write(iFd, m_sReply.data(), m_sReply.size()) < 0) {
                ADD_FAILURE() << "reply write failed";
            }
        }
        close(iFd);
    }

    int m_iListenFd = -1;
    int m_aStop[2] = {-1, -1};
    std::string m_sReply;
    std::string m_sRequest;
    std::atomic<bool> m_bContacted{false};
    std::thread m_oThread;
};

const std::string kOkReply = Frame(ReplyPkg(1, 0));

// Splits a request payload into its header and its body fields as the channel lays them.
struct SParsed {
    std::string sHead;
    std::vector<std::string> vecFields;
    bool bOk = true;
};

SParsed ParseFields(const std::string& sPkg, size_t nStrings, bool bMailTail) {
    SParsed o;
    if (sPkg.size() < 43) {
        o.bOk = false;
        return o;
    }
    o.sHead = sPkg.substr(0, 43);
    size_t iPos = 43;
    auto TakeNum = [&](uint32_t& dw) {
        if (iPos + 4 > sPkg.size()) {
            o.bOk = false;
            return false;
        }
        dw = ReadBe32(sPkg.data() + iPos);
        iPos += 4;
        return true;
    };
    auto TakeStr = [&]() {
        uint32_t dwLen = 0;
        if (!TakeNum(dwLen) || iPos + dwLen > sPkg.size()) {
            o.bOk = false;
            return;
        }
        o.vecFields.push_back(sPkg.substr(iPos, dwLen));
        iPos += dwLen;
    };
    for (size_t i = 0; i < nStrings && o.bOk; ++i) {
        TakeStr();
    }
    if (bMailTail && o.bOk) {
        uint32_t dwCount = 0;
        if (TakeNum(dwCount)) {
            o.vecFields.push_back(std::to_string(dwCount));
            for (uint32_t i = 0; i < 2 * dwCount && o.bOk; ++i) {
                TakeStr();
            }
        }
    }
    o.bOk = o.bOk && iPos == sPkg.size();
    return o;
}

void ExpectRequestHead(const std::string& sHead) {
    ASSERT_EQ(sHead.size(), 43u);
    const uint32_t dwStamp = ReadBe32(sHead.data() + 3);
    const uint32_t dwNow = static_cast<uint32_t>(time(nullptr));
    EXPECT_LE(dwNow - dwStamp, 5u) << "timestamp " << dwStamp << " now " << dwNow;
    EXPECT_EQ(RequestHeader(dwStamp), sHead);
}

// One delivered request: what the client is given, where it must arrive, the body
// fields the relay must see, and the success line after the green tag.
struct SDelivery {
    std::vector<std::string> vecArgs;
    uint16_t wPort;
    std::vector<std::string> vecFields;
    std::string sOkLine;
};

// Runs each case against a stub relay on the primary address and checks the request's
// header and body fields (nStrings string fields, then for mail the attachment list).
template <size_t N>
void ExpectDelivered(const SDelivery (&aCases)[N], size_t nStrings, bool bMailTail) {
    for (size_t i = 0; i < N; ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        CStubRelay oRelay(kPrimary, aCases[i].wPort, kOkReply);
        const SRunResult oRun = RunClient(aCases[i].vecArgs);
        EXPECT_EQ(oRun.iExitStatus, 0);
        EXPECT_EQ(oRun.sStdout, kGreenOk + aCases[i].sOkLine);
        const SParsed oReq = ParseFields(oRelay.Request(), nStrings, bMailTail);
        ASSERT_TRUE(oReq.bOk);
        ExpectRequestHead(oReq.sHead);
        EXPECT_EQ(oReq.vecFields, aCases[i].vecFields);
    }
}

}  // namespace

TEST(ClientE2E, InstantMessageRequestBytes) {
    CTempDir oDir;
    const std::string sImg = oDir.WriteFile("pic.jpg", std::string("\xff\xd8\x00\x02\x03img", 8));
    const SDelivery kCases[] = {
        {{"sms", "-T", "a;b", "-c", "hi", "-S", "ignored", "-F", "me", "-d", "utf8"},
         g_wSMSPort,
         {"", "im_server", "a;b", "", "hi"},
         " Send sms success! (receiver: a;b, content: hi)\n"},
        {{"zeph", "-T", "u1", "-S", "\xc4\xe3", "-c", "\xba\xc3", "-k", "key9"},
         g_wZEPHPort,
         {"key9", "im_server", "u1", "\xe4\xbd\xa0", "\xe5\xa5\xbd"},
         " Send zeph success! (receiver: u1, title: \xc4\xe3, content: \xba\xc3)\n"},
        {{"zeph", "-k", "key9", "-c", "x", "-d", "utf8"},
         g_wZEPHPort,
         {"key9", "im_server", "", "", "x"},
         " Send zeph success! (receiver: , title: , content: x)\n"},
        {{"lumo", "-T", "u1", "-i", sImg},
         g_wLumoPort,
         {"", "im_server", "u1", "", std::string("\xff\xd8\x00\x02\x03img", 8)},
         " Send lumo success! (receiver: u1, content: , img_path: " + sImg + ")\n"},
        {{"lumo", "-T", "u1", "-c", "\xc4\xe3"},
         g_wLumoPort,
         {"", "im_server", "u1", "\xe4\xbd\xa0", ""},
         " Send lumo success! (receiver: u1, content: \xc4\xe3, img_path: )\n"},
    };
    ExpectDelivered(kCases, 5, false);
}

TEST(ClientE2E, SmsRequestIsTheWorkedExample) {
    CStubRelay oRelay(kPrimary, g_wSMSPort, kOkReply);
    const SRunResult oRun = RunClient({"sms", "-T", "u1", "-c", "hi"});
    EXPECT_EQ(oRun.iExitStatus, 0);
    const std::string sReq = oRelay.Request();
    ASSERT_EQ(sReq.size(), 76u);
    EXPECT_EQ(sReq.substr(43),
              std::string("\0\0\0\0\0\0\0\x09im_server\0\0\0\x02u1\0\0\0\0\0\0\0\x02hi", 33));
}

TEST(ClientE2E, MailRequestBytes) {
    CTempDir oDir;
    const std::string sSub = oDir.Path() + "/x";
    mkdir(sSub.c_str(), 0700);
    const std::string sA = oDir.WriteFile("x/a.txt", "abc");
    const std::string sB = oDir.WriteFile("b", "");
    const std::string sZero = oDir.WriteFile("z.bin", std::string("\0\x02\x03\0", 4));
    const std::string sBody = oDir.WriteFile("body.txt", std::string("\xc4\xe3 file\n"));
    const std::string sEmpty = oDir.WriteFile("empty.txt", "");
    // Twenty attachments of 4194303 bytes together, the most one mail carries.
    std::string sTwenty;
    std::vector<std::string> vecTwentyFields = {"", "qem_mail", "a", "", "", " ", "20"};
    for (int i = 0; i < 20; ++i) {
        const std::string sName = "part" + std::to_string(i);
        const std::string sContent(i == 0 ? 209718 : 209715, static_cast<char>('a' + i));
        sTwenty += (i == 0 ? "" : ";") + oDir.WriteFile(sName, sContent);
        vecTwentyFields.insert(vecTwentyFields.end(), {sName, sContent});
    }
    const SDelivery kCases[] = {
        {{"mail", "-T", "a", "-C", "c1;c2", "-S", "\xc4\xe3", "-c", "text", "-a", sA + ";" + sB},
         g_wMailPort,
         {"", "qem_mail", "a", "c1;c2", "\xe4\xbd\xa0", "text", "2", "a.txt", "abc", "b", ""},
         " Send mail success! (receiver: a, cc: c1;c2, title: \xc4\xe3, content_size: 4.00B, "
         "attachment_count: 2)\n"},
        {{"mail", "-T", "a", "-F", "someone"},
         g_wMailPort,
         {"", "qem_mail", "a", "", "", " ", "0"},
         " Send mail success! (receiver: a, cc: , title: , content_size: 1.00B, "
         "attachment_count: 0)\n"},
        {{"mail", "-T", "a", "-c", "text", "-f", sBody, "-a", ";" + sZero + ";;", "-d", "gbk"},
         g_wMailPort,
         {"", "qem_mail", "a", "", "", "\xe4\xbd\xa0 file\n", "1", "z.bin",
          std::string("\0\x02\x03\0", 4)},
         " Send mail success! (receiver: a, cc: , title: , content_size: 9.00B, "
         "attachment_count: 1)\n"},
        {{"mail", "-T", "a", "-f", sEmpty, "-k", "k"},
         g_wMailPort,
         {"k", "qem_mail", "a", "", "", " ", "0"},
         " Send mail success! (receiver: a, cc: , title: , content_size: 1.00B, "
         "attachment_count: 0)\n"},
        {{"mail", "-T", "a", "-a", sTwenty},
         g_wMailPort,
         vecTwentyFields,
         " Send mail success! (receiver: a, cc: , title: , content_size: 1.00B, "
         "attachment_count: 20)\n"},
    };
    ExpectDelivered(kCases, 6, true);
}

TEST(ClientE2E, ServerOrderAndReplies) {
    const std::string sRefused = "Connect: socket error(111): Connection refused";
    struct {
        const char* szPrimaryReply;  // nullptr: nothing listens on the primary
        const char* szSecondaryReply;
        std::string sReplyPrimary;
        std::string sReplySecondary;
        bool bSecondaryContacted;
        std::string sStdout;
        int iStatus;
    } kCases[] = {
        {nullptr, "", "", kOkReply, true,
         std::string(kGreenOk) + " Send sms success! (receiver: a, content: hi)\n", 0},
        {nullptr, nullptr, "", "", false, FailureLine(sRefused), 1},
        {"", nullptr, Frame(ReplyPkg(1, 2)), "", false,
         FailureLine("Invalid parameter. Please make sure your input parameter is all right. "
                     "err_code:2"),
         1},
        {"", "", Frame(ReplyPkg(1, 1)), kOkReply, false,
         FailureLine("Unauthorized client IP.  err_code:1"), 1},
        {"", "", Frame(ReplyPkg(1, 3)), kOkReply, false,
         FailureLine("Remote web-service called, but return error! err_code:3"), 1},
        {"", "", Frame(ReplyPkg(1, 4)), kOkReply, false,
         FailureLine("Pkg tackle failed! Maybe the pkg isn't integrate. err_code:4"), 1},
        {"", "", Frame(ReplyPkg(1, 5)), kOkReply, false,
         FailureLine("System key verify failed! Please check! err_code:5"), 1},
        {"", "", Frame(ReplyPkg(1, 6)), kOkReply, false, FailureLine("Unknown problem! err_code:6"),
         1},
        {"", "", Frame(ReplyPkg(1, 4294967295u)), kOkReply, false,
         FailureLine("Unknown problem! err_code:4294967295"), 1},
        {"", "", Frame(ReplyPkg(0, 3)), kOkReply, false, FailureLine("pkg type(0) error!"), 1},
        {"", "", Frame(ReplyPkg(255, 0)), kOkReply, false, FailureLine("pkg type(255) error!"), 1},
        {"", "", Frame(std::string(10, '\x01')), kOkReply, false,
         FailureLine("pkg size(10) error!"), 1},
        {"", "", Frame(""), kOkReply, false, FailureLine("pkg size(0) error!"), 1},
        // A broken frame from the primary counts like a refusal: the secondary decides.
        {"", "", "\x05garbage", kOkReply, true,
         std::string(kGreenOk) + " Send sms success! (receiver: a, content: hi)\n", 0},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        std::unique_ptr<CStubRelay> pPrimary;
        std::unique_ptr<CStubRelay> pSecondary;
        if (kCases[i].szPrimaryReply) {
            pPrimary.reset(new CStubRelay(kPrimary, g_wSMSPort, kCases[i].sReplyPrimary));
        }
        if (kCases[i].szSecondaryReply) {
            pSecondary.reset(new CStubRelay(kSecondary, g_wSMSPort, kCases[i].sReplySecondary));
        }
        const SRunResult oRun = RunClient({"sms", "-T", "a", "-c", "hi"});
        EXPECT_EQ(oRun.sStdout, kCases[i].sStdout);
        EXPECT_EQ(oRun.iExitStatus, kCases[i].iStatus);
        if (pSecondary) {
            // An unused stub gives up after its own bounded wait.
            EXPECT_EQ(pSecondary->Contacted(), kCases[i].bSecondaryContacted);
        }
    }
}

TEST(ClientE2E, ValidationMessages) {
    CTempDir oDir;
    const std::string sBin = FANOUT_CLIENT_BIN;
    std::string sTwenty;
    std::string sTwentyOne;
    for (int i = 0; i < 21; ++i) {
        const std::string sPath = oDir.WriteFile("f" + std::to_string(i), "x");
        (i < 20 ? sTwenty : sTwentyOne) += sPath + ";";
    }
    sTwentyOne = sTwenty + sTwentyOne;
    const std::string sBig = oDir.WriteFile("big", std::string(4194304, 'x'));
    // Sparse files, no disk used: sizes where a 32-bit size or sum would wrap or turn
    // negative (4 GiB + 10 bytes is 10 bytes there).
    const std::string sHuge = oDir.Path() + "/huge";
    const std::string sTwoGiB = oDir.Path() + "/two_gib";
    for (const auto& oFile : {std::make_pair(sHuge, 4294967296LL + 10), {sTwoGiB, 2147483648LL}}) {
        const int iFd = open(oFile.first.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(ftruncate(iFd, oFile.second), 0);
        close(iFd);
    }
    const std::string sDir = oDir.Path();
    const std::string sMissing = oDir.Path() + "/missing";
    struct {
        std::vector<std::string> vecArgs;
        std::string sMessage;
    } kCases[] = {
        {{"sms", "-c", "x"}, "Receiver(-T) must be specified!"},
        {{"mail", "-C", "a"}, "Receiver(-T) must be specified!"},
        {{"sms", "-T", "a.b", "-c", "x"}, "Receiver(-T) or CCer(-C) is invalid!"},
        {{"mail", "-T", "a", "-C", "x@y"}, "Receiver(-T) or CCer(-C) is invalid!"},
        {{"sms", "-T", "a b"}, "Receiver(-T) or CCer(-C) is invalid!"},
        {{"sms", "-T", "\xc4\xe3"}, "Receiver(-T) or CCer(-C) is invalid!"},
        {{"mail", "-T", "a", "-f", sMissing}, "Can't open content_file('" + sMissing + "')"},
        {{"mail", "-T", "a", "-f", sDir}, "Can't open content_file('" + sDir + "')"},
        {{"sms", "-T", "a", "-f", sBig}, "content(-c) must be specified!"},
        {{"zeph", "-T", "a", "-S", "t"}, "content(-c) must be specified!"},
        {{"zeph", "-T", "a", "-c", "x", "-d", "UTF8"}, "title(-S) must be specified!"},
        {{"lumo", "-T", "a"}, "At least one of (content(-c) / img(-i)) must be specified!"},
        {{"sms", "-T", "a", "-c", "x", "-d", "utf-8"}, "Can't recoganize coding format ('utf-8')"},
        {{"mail", "-T", "a", "-d", ""}, "Can't recoganize coding format ('')"},
        {{"mail", "-T", "a", "-a", sTwentyOne},
         "Current attachment count(21) should less than limit_count(20)"},
        {{"mail", "-T", "a", "-a", sBig},
         "Total attachment size(4.00MB) should less than total_limit_size(4M)"},
        {{"mail", "-T", "a", "-a", sHuge},
         "Total attachment size(4.00GB) should less than total_limit_size(4M)"},
        {{"mail", "-T", "a", "-a", sHuge + ";" + sHuge + ";" + sHuge + ";" + sHuge},
         "Total attachment size(16.00GB) should less than total_limit_size(4M)"},
        {{"mail", "-T", "a", "-a", sTwoGiB},
         "Total attachment size(2.00GB) should less than total_limit_size(4M)"},
        {{"mail", "-T", "a", "-a", sTwoGiB + ";" + sTwoGiB},
         "Total attachment size(4.00GB) should less than total_limit_size(4M)"},
        {{"mail", "-T", "a", "-a", sBig + ";" + sTwoGiB + ";" + sTwoGiB},
         "Total attachment size(4.00GB) should less than total_limit_size(4M)"},
        {{"lumo", "-T", "a", "-i", sMissing}, "Can't open img_file('" + sMissing + "')"},
        {{"lumo", "-T", "a", "-i", sDir}, "Can't open img_file('" + sDir + "')"},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ": " + kCases[i].sMessage);
        const SRunResult oRun = RunClient(kCases[i].vecArgs);
        EXPECT_EQ(oRun.iExitStatus, 1);
        const std::string sFirst = oRun.sStdout.substr(0, oRun.sStdout.find('\n') + 1);
        EXPECT_EQ(sFirst, std::string(kRedError) + " " + kCases[i].sMessage + "\n");
        EXPECT_NE(oRun.sStdout.find("usage: \n\t1): " + sBin + " mail"), std::string::npos);
    }
}

TEST(ClientE2E, HelpAndScannerErrors) {
    struct {
        std::vector<std::string> vecArgs;
        int iStatus;
        std::string sStderr;
    } kCases[] = {
        {{"mail", "-h", "-T", "a"}, 0, ""},
        {{"mail", "-H"}, 0, ""},
        {{"sms", "-?"}, 0, ""},
        {{"mail", "-T", "a", "-t", "5"}, 1, ""},
        {{"mail", "-x"}, 1, "mail: invalid option -- 'x'\n"},
        {{"sms", "-T"}, 1, "sms: option requires an argument -- 'T'\n"},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const SRunResult oRun = RunClient(kCases[i].vecArgs);
        EXPECT_EQ(oRun.iExitStatus, kCases[i].iStatus);
        EXPECT_EQ(oRun.sStdout.rfind("usage: \n", 0), 0u);
        EXPECT_EQ(oRun.sStderr, kCases[i].sStderr);
    }
}

TEST(ClientE2E, UnreadableAttachmentFailsBeforeAnyConnection) {
    CTempDir oDir;
    const std::string sGood = oDir.WriteFile("good", "abc");
    const std::string sMissing = oDir.Path() + "/nothere";
    const std::string sDir = oDir.Path();
    for (const std::string& sBad : {sMissing, sDir}) {
        SCOPED_TRACE(sBad);
        CStubRelay oRelay(kPrimary, g_wMailPort, kOkReply);
        const SRunResult oRun = RunClient({"mail", "-T", "a", "-a", sGood + ";" + sBad});
        EXPECT_EQ(oRun.iExitStatus, 1);
        const std::string sText = "Open file('" + sBad + "') failed!";
        EXPECT_EQ(oRun.sStdout, FailureLine(sText.substr(0, 63)));
        EXPECT_FALSE(oRelay.Contacted());
    }
}

// Writes nBytes into the FIFO once a reader opened it (waiting at most 10 s for one);
// stops early when the reader goes away.
void FeedFifo(const std::string& sFifo, size_t nBytes) {
    signal(SIGPIPE, SIG_IGN);
    int iFd = -1;
    for (int iTry = 0; iTry < 1000 && iFd < 0; ++iTry) {
        iFd = open(sFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO: no reader yet
        if (iFd < 0) {
            usleep(10000);
        }
    }
    if (iFd < 0) {
        ADD_FAILURE() << "nobody opened " << sFifo;
        return;
    }
    fcntl(iFd, F_SETFL, 0);
    const std::string sChunk(nBytes / 5, 'x');
    for (int n = 0; n < 5 && write(iFd, sChunk.data(), sChunk.size()) > 0; ++n) {
    }
    close(iFd);
}

// Endless, oversized and growing inputs end in the message of an unreadable file, exit 1
// and nothing sent, instead of an abort. The endless ones run under a memory limit, as
// the content and the image are bounded only by what one frame carries; the sanitizers
// need more address space than such a limit leaves, so those rows are skipped there.
TEST(ClientE2E, EndlessAndOversizedInputsFailCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    const bool bMemoryLimit = false;
#else
    const bool bMemoryLimit = true;
#endif
    CTempDir oDir;
    const std::string sHuge = oDir.Path() + "/huge";
    const std::string sTwoGiB = oDir.Path() + "/two_gib";
    // Sparse: no disk used. The first is past any frame; the second fits a frame but is
    // more than memory (or, where size_t has 32 bits, a string) holds.
    for (const auto& oFile : {std::make_pair(sHuge, 4294967296LL), {sTwoGiB, 2147483648LL}}) {
        const int iFd = open(oFile.first.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(ftruncate(iFd, oFile.second), 0);
        close(iFd);
    }
    const std::string sFifo = oDir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    const std::string sUsage = "\nusage: \n";
    struct {
        std::vector<std::string> vecArgs;
        uint16_t wPort;
        bool bNeedsMemoryLimit;
        std::string sFirstLine;
    } kCases[] = {
        {{"mail", "-T", "a", "-f", "/dev/zero", "-d", "utf8"},
         g_wMailPort,
         true,
         std::string(kRedError) + " Can't open content_file('/dev/zero')\n"},
        {{"lumo", "-T", "a", "-i", "/dev/zero", "-d", "utf8"},
         g_wLumoPort,
         true,
         std::string(kRedError) + " Can't open img_file('/dev/zero')\n"},
        {{"mail", "-T", "a", "-S", "x", "-a", "/dev/zero", "-d", "utf8"},
         g_wMailPort,
         false,
         FailureLine("Open file('/dev/zero') failed!")},
        {{"mail", "-T", "a", "-f", sHuge, "-d", "utf8"},
         g_wMailPort,
         false,
         std::string(kRedError) + " Can't open content_file('" + sHuge + "')\n"},
        {{"mail", "-T", "a", "-f", sTwoGiB, "-d", "utf8"},
         g_wMailPort,
         true,
         std::string(kRedError) + " Can't open content_file('" + sTwoGiB + "')\n"},
        {{"lumo", "-T", "a", "-i", sTwoGiB, "-d", "utf8"},
         g_wLumoPort,
         true,
         std::string(kRedError) + " Can't open img_file('" + sTwoGiB + "')\n"},
        // A pipe shows size 0 to the total's check; its 5,000,000 bytes are over the total.
        {{"mail", "-T", "a", "-a", sFifo, "-d", "utf8"},
         g_wMailPort,
         false,
         FailureLine("Open file('" + sFifo + "') failed!")},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ": " + kCases[i].sFirstLine);
        if (kCases[i].bNeedsMemoryLimit && !bMemoryLimit) {
            continue;
        }
        // Feeds the pipe once the client opens it, until the client closes it.
        std::thread oWriter;
        const std::vector<std::string>& vecArgs = kCases[i].vecArgs;
        if (std::find(vecArgs.begin(), vecArgs.end(), sFifo) != vecArgs.end()) {
            oWriter = std::thread([&sFifo] { FeedFifo(sFifo, 5000000); });
        }
        CStubRelay oRelay(kPrimary, kCases[i].wPort, kOkReply);
        const SRunResult oRun = kCases[i].bNeedsMemoryLimit
                                    ? RunClientInMemory(kCases[i].vecArgs, 512u << 20)
                                    : RunClient(kCases[i].vecArgs);
        if (oWriter.joinable()) {
            oWriter.join();
        }
        EXPECT_EQ(oRun.iExitStatus, 1);
        EXPECT_EQ(oRun.sStdout.substr(0, oRun.sStdout.find('\n') + 1), kCases[i].sFirstLine);
        EXPECT_FALSE(oRelay.Contacted());
    }
}

// A named pipe given as an attachment is opened once and sends what that open reads,
// alone or after a file that is mapped. Its writer opens it, writes and closes, once.
TEST(ClientE2E, FifoAttachmentIsOpenedOnce) {
    CTempDir oDir;
    const std::string sFifo = oDir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    const std::string sFile = oDir.WriteFile("file", "abc");
    const std::string sFed(5000, 'x');
    const SDelivery kCases[] = {
        {{"mail", "-T", "a", "-S", "x", "-c", "b", "-a", sFifo, "-d", "utf8"},
         g_wMailPort,
         {"", "qem_mail", "a", "", "x", "b", "1", "fifo", sFed},
         " Send mail success! (receiver: a, cc: , title: x, content_size: 1.00B, "
         "attachment_count: 1)\n"},
        {{"mail", "-T", "a", "-S", "x", "-c", "b", "-a", sFile + ";" + sFifo, "-d", "utf8"},
         g_wMailPort,
         {"", "qem_mail", "a", "", "x", "b", "2", "file", "abc", "fifo", sFed},
         " Send mail success! (receiver: a, cc: , title: x, content_size: 1.00B, "
         "attachment_count: 2)\n"},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        std::thread oWriter([&sFifo, &sFed] { FeedFifo(sFifo, sFed.size()); });
        const SDelivery aCase[] = {kCases[i]};
        ExpectDelivered(aCase, 6, true);
        oWriter.join();
    }
}
