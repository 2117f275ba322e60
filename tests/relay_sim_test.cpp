// The relay simulator: its request decoder, frame reader and option parsing as units,
// then the fanout_relay_sim binary on loopback, fed with plain sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "relay_proto/frame.h"
#include "relay_proto/request.h"
#include "relay_proto/utf8.h"
#include "relay_sim/sim_json.h"
#include "relay_sim/sim_options.h"
#include "relay_sim/sim_save.h"
#include "tests/sim_process.h"
#include "tests/test_support.h"
#include "tests/wire_bytes.h"

using namespace relay_sim;
using namespace relay_proto;
using nlohmann::json;
using test_support::CSimProcess;
using test_support::MsSince;
using test_support::ReadUntil;
using wire_bytes::Be32;
using wire_bytes::Field;
using wire_bytes::Frame;
using wire_bytes::ReadBe32;
using wire_bytes::ReplyPkg;
using wire_bytes::RequestHeader;

namespace {

typedef std::chrono::steady_clock CLOCK;

// --- Building requests as the client does -------------------------------------------

const uint32_t kStamp = 258;

// sms, zeph and lumo: five string fields in their channel's order.
std::string InstantPkg(const std::vector<std::string>& vecFields) {
    std::string sPkg = RequestHeader(kStamp);
    for (const std::string& sField : vecFields) {
        sPkg += Field(sField);
    }
    return sPkg;
}

typedef std::vector<std::pair<std::string, std::string>> ATTACHMENTS;

std::string MailPkg(const std::string& sTitle, const std::string& sContent,
                    const ATTACHMENTS& vecAttach) {
    std::string sPkg = InstantPkg({"key", "qem_mail", "a;b", "c1", sTitle, sContent});
    sPkg += Be32(static_cast<uint32_t>(vecAttach.size()));
    for (const auto& oAttach : vecAttach) {
        sPkg += Field(oAttach.first) + Field(oAttach.second);
    }
    return sPkg;
}

const std::string kSmsPkg = InstantPkg({"", "im_server", "u1", "", "hi"});

// The decoded request as the JSON line shows it, parsed back.
json DecodedJson(CHANNEL eChannel, const std::string& sPkg) {
    SRequest oReq;
    std::string sErrMsg;
    EXPECT_TRUE(DecodeRequest(eChannel, sPkg, oReq, sErrMsg)) << sErrMsg;
    JSON_OBJ oJson = JSON_OBJ::object();
    AddRequestFields(oReq, oJson);
    return json::parse(JsonLine(oJson));
}

// --- Decoder ------------------------------------------------------------------------

TEST(RelaySimDecode, EachChannelDecodesToItsFields) {
    const std::string kHead =
        R"("cmd":1,"pkg_type":0,"client_version":1,"timestamp":258,"result":0)";
    const struct {
        CHANNEL eChannel;
        std::string sPkg;
        std::string sExpected;
    } aRows[] = {
        {CH_SMS, kSmsPkg,
         "{" + kHead +
             R"(,"key_id":"","sender":"im_server","receivers":"u1","title":"","content":"hi"})"},
        {CH_ZEPH, InstantPkg({"k1", "im_server", "a;b", "T", "\xE6\xA0\x87"}),
         "{" + kHead +
             R"(,"key_id":"k1","sender":"im_server","receivers":"a;b","title":"T","content":"标"})"},
        {CH_LUMO, InstantPkg({"", "im_server", "u", "c", std::string("\0\x02\x03", 3)}),
         "{" + kHead +
             R"(,"key_id":"","sender":"im_server","receivers":"u","content":"c","image_size":3})"},
        {CH_MAIL, MailPkg("S", " ", {{"a.txt", "abc"}, {"b", ""}}),
         "{" + kHead +
             R"(,"key_id":"key","sender":"qem_mail","receivers":"a;b","cc":"c1","title":"S",)"
             R"("content":" ","attachments":[{"name":"a.txt","size":3},{"name":"b","size":0}]})"},
        {CH_MAIL, MailPkg("", "x", {}),
         "{" + kHead +
             R"(,"key_id":"key","sender":"qem_mail","receivers":"a;b","cc":"c1","title":"",)"
             R"("content":"x","attachments":[]})"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(json::parse(aRows[i].sExpected), DecodedJson(aRows[i].eChannel, aRows[i].sPkg))
            << "row " << i;
    }
}

TEST(RelaySimDecode, BrokenPackagesAreRefusedWithTheirReason) {
    std::string sOverrun = InstantPkg({"", "im_server", "u1"});
    sOverrun += std::string("\0\0\0\x64xy", 6);  // title claims 100 bytes, 2 follow
    const std::string sHugeCount = InstantPkg({"f", "f", "f", "f", "f", "f"}) + Be32(0xFFFFFFFFu);
    const struct {
        CHANNEL eChannel;
        std::string sPkg;
        const char* szError;
    } aRows[] = {
        {CH_SMS, kSmsPkg.substr(0, 42), "package of 42 bytes is shorter than the 43-byte header"},
        {CH_SMS, kSmsPkg.substr(0, 43), "key_id: no room for its 4-byte length (0 bytes left)"},
        {CH_SMS, sOverrun, "title: length 100 overruns the package (2 bytes left)"},
        {CH_SMS, kSmsPkg + "zz", "2 bytes of trailing garbage after the last field"},
        {CH_MAIL, kSmsPkg, "content: no room"},  // an SMS package on the mail port
        {CH_LUMO, MailPkg("", "x", {}), "9 bytes of trailing garbage"},
        {CH_MAIL, sHugeCount, "name of attachment 1: no room"},
        {CH_MAIL, MailPkg("", "x", {{"a", "1"}}).substr(0, 97), "data of attachment 1"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SRequest oReq;
        std::string sErrMsg;
        EXPECT_FALSE(DecodeRequest(aRows[i].eChannel, aRows[i].sPkg, oReq, sErrMsg)) << "row " << i;
        EXPECT_NE(std::string::npos, sErrMsg.find(aRows[i].szError))
            << "row " << i << ": " << sErrMsg;
    }
}

TEST(RelaySimDecode, EveryCutOfAMailPackageIsRefused) {
    const std::string sPkg = MailPkg("S", "body", {{"a.txt", "abc"}, {"b", std::string(5, '\0')}});
    SRequest oReq;
    std::string sErrMsg;
    ASSERT_TRUE(DecodeRequest(CH_MAIL, sPkg, oReq, sErrMsg)) << sErrMsg;
    for (size_t n = 0; n < sPkg.size(); ++n) {
        EXPECT_FALSE(DecodeRequest(CH_MAIL, sPkg.substr(0, n), oReq, sErrMsg)) << "cut at " << n;
    }
}

TEST(RelaySimJson, Utf8ValidityFollowsTheStrictRules) {
    const struct {
        std::string sText;
        bool bValid;
    } aRows[] = {
        {"", true},
        {"plain", true},
        {"\xE6\xA0\x87\xE9\xA2\x98", true},  // two CJK characters
        {"\xF0\x9F\x98\x80", true},          // U+1F600
        {"\xB1\xEA", false},                 // GBK bytes
        {"\xC0\xAF", false},                 // overlong '/'
        {"\xE0\x80\xAF", false},             // overlong, three bytes
        {"\xED\xA0\x80", false},             // surrogate
        {"\xF4\x90\x80\x80", false},         // past U+10FFFF
        {"\xE6\xA0", false},                 // cut sequence
        {"\x80", false},
        {"ok\xFF", false},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(aRows[i].bValid, IsValidUtf8(aRows[i].sText)) << "row " << i;
    }
}

TEST(RelaySimJson, InvalidBytesStillGiveValidJsonAndKeepTheirHex) {
    const json oJson =
        DecodedJson(CH_MAIL, MailPkg("\xC0\xAF", "\xB1\xEA ok", {{std::string("n\xFF", 2), "d"}}));
    EXPECT_EQ("c0af", oJson["title_hex"]);
    EXPECT_EQ("b1ea206f6b", oJson["content_hex"]);
    EXPECT_EQ("6eff", oJson["attachments"][0]["name_hex"]);
    EXPECT_EQ(std::string::npos, oJson["content"].get<std::string>().find('\xB1'));
    EXPECT_FALSE(oJson.contains("receivers_hex"));
}

// --- Frame reader --------------------------------------------------------------------

// Feeds sInput in pieces of at most nStep bytes until the reader stops asking.
CFrameReader::STATUS Feed(CFrameReader& oReader, const std::string& sInput, size_t nStep,
                          size_t& nUsed) {
    CFrameReader::STATUS eStatus = CFrameReader::FR_MORE;
    for (nUsed = 0; eStatus == CFrameReader::FR_MORE && nUsed < sInput.size();) {
        size_t nRoom = 0;
        char* pRoom = oReader.Room(nRoom);
        const size_t n = std::min({nRoom, nStep, sInput.size() - nUsed});
        memcpy(pRoom, sInput.data() + nUsed, n);
        nUsed += n;
        eStatus = oReader.Commit(n);
    }
    return eStatus;
}

TEST(RelaySimFrame, ReadsOneFrameInAnyPiecesAndRefusesNonFrames) {
    const std::string sBinary("\x02\x03\x00payload\x03", 11);
    const std::string sBig(300000, 'b');
    const struct {
        std::string sInput;
        size_t nStep;
        CFrameReader::STATUS eStatus;
        std::string sPayloadOrError;
    } aRows[] = {
        {BuildFrame("ABC") + "next", 1, CFrameReader::FR_FRAME, "ABC"},
        {BuildFrame("ABC") + "next", 4096, CFrameReader::FR_FRAME, "ABC"},
        {BuildFrame(""), 3, CFrameReader::FR_FRAME, ""},
        {BuildFrame(sBinary), 2, CFrameReader::FR_FRAME, sBinary},
        {BuildFrame(sBig), 65536, CFrameReader::FR_FRAME, sBig},
        {"\x05rest", 4096, CFrameReader::FR_NOT_FRAME, "first byte 0x05, not STX"},
        {std::string("\x02\0\0\0\x05\x03", 6), 1, CFrameReader::FR_NOT_FRAME,
         "length 5 is below the 6-byte minimum"},
        {std::string("\x02\0\x10\0\0", 5), 4096, CFrameReader::FR_NOT_FRAME,
         "frame length 1048576 exceeds the limit of 400000 bytes"},
        {BuildFrame("AB").substr(0, 7) + '\0', 1, CFrameReader::FR_BAD_END,
         "last byte 0x00, not ETX 0x03"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        CFrameReader oReader(400000);
        size_t nUsed = 0;
        EXPECT_EQ(aRows[i].eStatus, Feed(oReader, aRows[i].sInput, aRows[i].nStep, nUsed))
            << "row " << i;
        if (aRows[i].eStatus == CFrameReader::FR_FRAME) {
            EXPECT_EQ(aRows[i].sPayloadOrError.size() + FRAME_OVERHEAD, nUsed) << "row " << i;
            EXPECT_EQ(aRows[i].sPayloadOrError, oReader.TakePayload()) << "row " << i;
        } else {
            EXPECT_NE(std::string::npos, oReader.ErrMsg().find(aRows[i].sPayloadOrError))
                << "row " << i << ": " << oReader.ErrMsg();
        }
    }
}

// --- Save names and options ---------------------------------------------------------

TEST(RelaySimSave, FileNamesStayInsideTheFolder) {
    const struct {
        std::string sName;
        std::string sSafe;
    } aRows[] = {
        {"a.txt", "a.txt"},
        {"../../etc/passwd", "passwd"},
        {"dir/", ""},
        {"..", ""},
        {".", ""},
        {"x/..", ""},
        {"", ""},
        {"a\nb", "a_b"},
        {std::string("a\0b", 3), "a_b"},
        {"...", "..."},
        {std::string(300, 'n'), std::string(255, 'n')},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(aRows[i].sSafe, SafeFileName(aRows[i].sName)) << "row " << i;
    }
}

TEST(RelaySimOptions, BadCommandLinesAreRefusedWithTheirReason) {
    const struct {
        std::vector<const char*> vecArgs;
        const char* szError;
    } aRows[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--result"}, "--result needs a value"},
        {{"--result", "-1"}, "--result: '-1' is not a number"},
        {{"--result=4294967296"}, "not a number from 0 to 4294967295"},
        {{"--port-offset", "53073"}, "not a number from 0 to 53072"},
        {{"--listen", "localhost"}, "not an IPv4 address"},
        {{"--channel-result", "fax=1"}, "is not CHANNEL=CODE"},
        {{"--close", "--no-read"}, "choose only one of"},
        {{"--reply-hex", "abc"}, "not an even number of hex digits"},
        {{"--close=1"}, "--close takes no value"},
        {{"--chunk", "0"}, "not a number from 1"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        std::vector<const char*> vecArgv{"fanout_relay_sim"};
        vecArgv.insert(vecArgv.end(), aRows[i].vecArgs.begin(), aRows[i].vecArgs.end());
        SSimOptions oOpts;
        std::string sErrMsg;
        EXPECT_EQ(PR_ERROR,
                  ParseOptions(static_cast<int>(vecArgv.size()), vecArgv.data(), oOpts, sErrMsg))
            << "row " << i;
        EXPECT_NE(std::string::npos, sErrMsg.find(aRows[i].szError))
            << "row " << i << ": " << sErrMsg;
    }
}

TEST(RelaySimOptions, ChannelResultsWinOverTheCommonResult) {
    const char* aArgv[] = {"sim",        "--channel-result", "sms=5",
                           "--result=2", "--reply-hex",      "05 0a"};
    SSimOptions oOpts;
    std::string sErrMsg;
    ASSERT_EQ(PR_RUN, ParseOptions(6, aArgv, oOpts, sErrMsg)) << sErrMsg;
    EXPECT_EQ(5u, oOpts.ResultFor(CH_SMS));
    EXPECT_EQ(2u, oOpts.ResultFor(CH_MAIL));
    EXPECT_EQ(std::string("\x05\x0a"), oOpts.m_sRawReply);
    EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, oOpts.m_vecListen);
}

// --- The binary on loopback ----------------------------------------------------------

int Connect(const char* szAddr, uint16_t wPort) {
    const int iFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in oAddr = {};
    oAddr.sin_family = AF_INET;
    oAddr.sin_port = htons(wPort);
    inet_pton(AF_INET, szAddr, &oAddr.sin_addr);
    const timeval oLimit = {5, 0};
    setsockopt(iFd, SOL_SOCKET, SO_SNDTIMEO, &oLimit, sizeof(oLimit));
    if (connect(iFd, reinterpret_cast<const sockaddr*>(&oAddr), sizeof(oAddr)) != 0) {
        close(iFd);
        return -1;
    }
    return iFd;
}

struct SExchange {
    bool bConnected = false;
    std::string sReply;
    bool bReset = false;  // the read ended in ECONNRESET
    long lElapsedMs = 0;
};

// Reads what the peer sends until it closes, resets or 5 s pass.
void ReadReply(int iFd, SExchange& oResult) {
    int iErrno = 0;
    ReadUntil(
        iFd, oResult.sReply, CLOCK::now() + std::chrono::seconds(5),
        [](const std::string&) { return false; }, &iErrno);
    oResult.bReset = iErrno == ECONNRESET;
}

// One connection: send sRequest (and end our side when bHalfClose), read the answer.
SExchange Exchange(uint16_t wPort, const std::string& sRequest, bool bHalfClose = false,
                   const char* szAddr = "127.0.0.1") {
    SExchange oResult;
    const auto tStart = CLOCK::now();
    const int iFd = Connect(szAddr, wPort);
    if (iFd < 0) {
        return oResult;
    }
    oResult.bConnected = true;
    send(iFd, sRequest.data(), sRequest.size(), MSG_NOSIGNAL);
    if (bHalfClose) {
        shutdown(iFd, SHUT_WR);
    }
    ReadReply(iFd, oResult);
    oResult.lElapsedMs = MsSince(tStart);
    close(iFd);
    return oResult;
}

// A reply frame holding a bare 43-byte package of this type and result.
void ExpectReply(const std::string& sReply, uint8_t cType, uint32_t dwResult,
                 const std::string& sWhere) {
    ASSERT_EQ(49u, sReply.size()) << sWhere;
    const uint32_t dwStamp = ReadBe32(sReply.data() + 8);
    EXPECT_EQ(Frame(ReplyPkg(cType, dwResult, dwStamp)), sReply) << sWhere;
    const int64_t llSkew = static_cast<int64_t>(dwStamp) - time(nullptr);
    EXPECT_LE(llSkew < 0 ? -llSkew : llSkew, 60) << sWhere;
}

TEST(RelaySimBinary, AnswersEveryChannelOnEveryAddressAndLogsTheRequest) {
    CSimProcess oSim;
    ASSERT_TRUE(oSim.Start({"--listen", "127.0.0.1", "--listen", "127.0.0.2"})) << oSim.Stderr();
    EXPECT_NE(std::string::npos, oSim.Stderr().find("listening on 127.0.0.1, 127.0.0.2 ports"));
    const struct {
        CHANNEL eChannel;
        const char* szAddr;
        std::string sPkg;
        const char* szField;
        json oValue;
    } aRows[] = {
        {CH_SMS, "127.0.0.1", kSmsPkg, "content", "hi"},
        {CH_ZEPH, "127.0.0.2", InstantPkg({"", "im_server", "u", "T", "z"}), "title", "T"},
        {CH_LUMO, "127.0.0.1", InstantPkg({"", "im_server", "u", "c", "IMG"}), "image_size", 3},
        {CH_MAIL, "127.0.0.2", MailPkg("S", "b", {{"a", "12"}}), "attachments",
         json::parse(R"([{"name":"a","size":2}])")},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const SExchange oEx = Exchange(oSim.Port(aRows[i].eChannel), BuildFrame(aRows[i].sPkg),
                                       false, aRows[i].szAddr);
        ExpectReply(oEx.sReply, 1, 0, "row " + std::to_string(i));
        const json oLine = oSim.NextLine();
        ASSERT_TRUE(oLine.is_object()) << "row " << i;
        EXPECT_EQ(ChannelName(aRows[i].eChannel), oLine["channel"]) << "row " << i;
        EXPECT_EQ(std::string(aRows[i].szAddr) + ":" + std::to_string(oSim.Port(aRows[i].eChannel)),
                  oLine["local"])
            << "row " << i;
        EXPECT_EQ(0u, oLine["peer"].get<std::string>().find("127.")) << "row " << i;
        EXPECT_EQ(aRows[i].oValue, oLine[aRows[i].szField]) << "row " << i;
        EXPECT_EQ("reply", oLine["action"]) << "row " << i;
        EXPECT_EQ(0, oLine["reply_result"]) << "row " << i;
    }
    EXPECT_EQ(0, oSim.Stop());
}

TEST(RelaySimBinary, SurvivesGarbageSlowAndHalfOpenClients) {
    CSimProcess oSim;
    ASSERT_TRUE(oSim.Start({"--timeout", "1000", "--max-frame", "1000"})) << oSim.Stderr();
    const uint16_t wPort = oSim.Port(CH_SMS);
    const int iIdle = Connect("127.0.0.1", wPort);  // never sends: timed out later
    const struct {
        std::string sSend;
        bool bHalfClose;
        int iResult;  // -1: no reply at all
        const char* szError;
    } aRows[] = {
        {"GET / HTTP/1.0\r\n\r\n", false, -1, "not a frame: first byte 0x47"},
        {"\x02", true, -1, "peer closed after 1 bytes, before a whole frame"},
        {std::string("\x02\0\0\x10\0", 5), false, -1, "exceeds the limit of 1000 bytes"},
        {BuildFrame(kSmsPkg.substr(0, 20)), false, 4, "shorter than the 43-byte header"},
        {BuildFrame(kSmsPkg).substr(0, 81) + '!', false, 4, "not ETX"},
        {BuildFrame(kSmsPkg + "x"), false, 4, "1 bytes of trailing garbage"},
        {BuildFrame(kSmsPkg) + "extra bytes", false, 0, nullptr},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const SExchange oEx = Exchange(wPort, aRows[i].sSend, aRows[i].bHalfClose);
        if (aRows[i].iResult < 0) {
            EXPECT_EQ("", oEx.sReply) << "row " << i;
        } else {
            ExpectReply(oEx.sReply, 1, static_cast<uint32_t>(aRows[i].iResult),
                        "row " + std::to_string(i));
        }
        const json oLine = oSim.LineOf(i + 2);  // the idle client is connection 1
        ASSERT_TRUE(oLine.is_object()) << "row " << i;
        if (aRows[i].szError != nullptr) {
            EXPECT_NE(std::string::npos, oLine.value("error", std::string()).find(aRows[i].szError))
                << "row " << i << ": " << oLine.dump();
        }
    }
    const json oTimedOut = oSim.LineOf(1, 3000);
    EXPECT_NE(std::string::npos,
              oTimedOut.value("error", std::string()).find("read timed out after"))
        << oTimedOut.dump();
    close(iIdle);
    EXPECT_EQ(0, oSim.Stop());
}

TEST(RelaySimBinary, PlaysAFailingRelay) {
    enum EXPECT { EX_REPLY, EX_RAW, EX_NOTHING, EX_RESET };
    const struct {
        std::vector<std::string> vecArgs;
        CHANNEL eChannel;
        EXPECT eExpect;
        uint8_t cType;
        uint32_t dwResult;
        const char* szAction;
    } aRows[] = {
        {{"--channel-result", "sms=5", "--result", "2"}, CH_SMS, EX_REPLY, 1, 5, "reply"},
        {{"--channel-result", "sms=5", "--result", "2"}, CH_ZEPH, EX_REPLY, 1, 2, "reply"},
        {{"--reply-type", "0"}, CH_SMS, EX_REPLY, 0, 0, "reply"},
        {{"--chunk", "7", "--chunk-delay", "5"}, CH_SMS, EX_REPLY, 1, 0, "reply"},
        {{"--delay", "200"}, CH_SMS, EX_REPLY, 1, 0, "reply"},
        {{"--reply-hex", "05 00 ff"}, CH_SMS, EX_RAW, 0, 0, "raw"},
        {{"--close"}, CH_SMS, EX_NOTHING, 0, 0, "close"},
        {{"--no-read", "--timeout", "300"}, CH_SMS, EX_NOTHING, 0, 0, "no-read"},
        {{"--reset"}, CH_SMS, EX_RESET, 0, 0, "reset"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const std::string sRow = "row " + std::to_string(i);
        CSimProcess oSim;
        ASSERT_TRUE(oSim.Start(aRows[i].vecArgs)) << sRow << oSim.Stderr();
        const SExchange oEx = Exchange(oSim.Port(aRows[i].eChannel), BuildFrame(kSmsPkg));
        switch (aRows[i].eExpect) {
            case EX_REPLY:
                ExpectReply(oEx.sReply, aRows[i].cType, aRows[i].dwResult, sRow);
                break;
            case EX_RAW:
                EXPECT_EQ(std::string("\x05\x00\xff", 3), oEx.sReply) << sRow;
                break;
            case EX_NOTHING:
                EXPECT_EQ("", oEx.sReply) << sRow;
                break;
            case EX_RESET:
                EXPECT_EQ("", oEx.sReply) << sRow;
                EXPECT_TRUE(oEx.bReset) << sRow;
                break;
        }
        if (aRows[i].vecArgs[0] == "--delay") {
            EXPECT_GE(oEx.lElapsedMs, 190) << sRow;
        }
        EXPECT_EQ(aRows[i].szAction, oSim.NextLine().value("action", std::string())) << sRow;
        EXPECT_EQ(0, oSim.Stop()) << sRow;
    }
}

TEST(RelaySimBinary, SavesImageAndAttachmentsInsideTheFolder) {
    test_support::CTempDir oDir;
    const std::string sSave = oDir.Path() + "/saved";
    CSimProcess oSim;
    ASSERT_TRUE(oSim.Start({"--save", sSave})) << oSim.Stderr();
    const std::string sData("bin\0ary", 7);
    ExpectReply(
        Exchange(
            oSim.Port(CH_MAIL),
            BuildFrame(MailPkg(
                "S", "b",
                {{"../../evil.txt", "x"}, {"a.txt", sData}, {"a.txt", "dup"}, {"..", "dots"}})))
            .sReply,
        1, 0, "mail");
    EXPECT_EQ(sSave + "/1-mail", oSim.NextLine().value("saved", std::string()));
    ExpectReply(
        Exchange(oSim.Port(CH_LUMO), BuildFrame(InstantPkg({"", "s", "r", "c", "PNG"}))).sReply, 1,
        0, "lumo");
    EXPECT_EQ(sSave + "/2-lumo", oSim.NextLine().value("saved", std::string()));
    EXPECT_EQ(0, oSim.Stop());

    const auto Read = [](const std::string& sPath) {
        std::string sContent;
        const int iFd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
        ReadUntil(iFd, sContent, CLOCK::now() + std::chrono::seconds(1),
                  [](const std::string&) { return false; });
        close(iFd);
        return sContent;
    };
    EXPECT_EQ("x", Read(sSave + "/1-mail/evil.txt"));
    EXPECT_EQ(sData, Read(sSave + "/1-mail/a.txt"));
    EXPECT_EQ("dup", Read(sSave + "/1-mail/attachment-3"));
    EXPECT_EQ("dots", Read(sSave + "/1-mail/attachment-4"));
    EXPECT_EQ("PNG", Read(sSave + "/2-lumo/image"));
    struct stat oStat;
    EXPECT_NE(0, stat((oDir.Path() + "/evil.txt").c_str(), &oStat));
}

TEST(RelaySimBinary, ServesManyClientsAtOnce) {
    const int kClients = 300;
    CSimProcess oSim;
    ASSERT_TRUE(oSim.Start({})) << oSim.Stderr();
    const std::string sFrame = BuildFrame(kSmsPkg);
    std::vector<int> vecFds;
    for (int i = 0; i < kClients; ++i) {  // all open, each with half a frame
        vecFds.push_back(Connect("127.0.0.1", oSim.Port(CH_SMS)));
        ASSERT_GE(vecFds.back(), 0) << "client " << i;
        send(vecFds.back(), sFrame.data(), sFrame.size() / 2, MSG_NOSIGNAL);
    }
    for (int iFd : vecFds) {
        send(iFd, sFrame.data() + sFrame.size() / 2, sFrame.size() - sFrame.size() / 2,
             MSG_NOSIGNAL);
    }
    for (int i = 0; i < kClients; ++i) {
        SExchange oEx;
        ReadReply(vecFds[i], oEx);
        ExpectReply(oEx.sReply, 1, 0, "client " + std::to_string(i));
        close(vecFds[i]);
        // Taking the lines as they come keeps the pipe from filling and stalling it.
        ASSERT_TRUE(oSim.NextLine().is_object()) << "line " << i;
    }
    EXPECT_EQ(0, oSim.Stop());
}

TEST(RelaySimBinary, ExitsWithStatus2WhenAPortIsTaken) {
    CSimProcess oFirst;
    ASSERT_TRUE(oFirst.Start({})) << oFirst.Stderr();
    CSimProcess oSecond;
    EXPECT_FALSE(oSecond.StartAsIs({"--port-offset", std::to_string(oFirst.Offset())}));
    EXPECT_EQ(2, oSecond.Stop());
    EXPECT_NE(std::string::npos, oSecond.Stderr().find("cannot listen on 127.0.0.1:"))
        << oSecond.Stderr();
    EXPECT_EQ(0, oFirst.Stop());
}

// --background returns only once every port listens, so the next command may connect
// at once; a port that is taken makes it exit 2 with nothing left running. The pid file
// names the simulator that runs on and goes away when it stops.
TEST(RelaySimBinary, BackgroundReturnsWhenListening) {
    test_support::CTempDir oDir;
    CSimProcess oTaken;  // holds the ports of the second row
    ASSERT_TRUE(oTaken.Start({})) << oTaken.Stderr();
    const int nFree = oTaken.Offset() + 4;  // the next block of four ports
    struct {
        int nOffset;
        int iStatus;
    } kCases[] = {{nFree, 0}, {oTaken.Offset(), 2}};
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const std::string sPidFile = oDir.Path() + "/sim" + std::to_string(i) + ".pid";
        const std::string sCmd = std::string(FANOUT_RELAY_SIM_BIN) + " --background --pid-file " +
                                 sPidFile + " --port-offset " + std::to_string(kCases[i].nOffset) +
                                 " >/dev/null 2>&1";
        const int iStatus = system(sCmd.c_str());
        ASSERT_TRUE(WIFEXITED(iStatus));
        EXPECT_EQ(WEXITSTATUS(iStatus), kCases[i].iStatus);
        FILE* pPid = fopen(sPidFile.c_str(), "r");
        EXPECT_EQ(pPid != nullptr, kCases[i].iStatus == 0);
        if (pPid == nullptr) {
            continue;
        }
        int iPid = 0;
        EXPECT_EQ(fscanf(pPid, "%d", &iPid), 1);
        fclose(pPid);
        const int iFd = Connect("127.0.0.1", ChannelPort(CH_SMS, kCases[i].nOffset));
        EXPECT_GE(iFd, 0) << "not listening when --background returned";
        close(iFd);
        ASSERT_GT(iPid, 0);
        kill(iPid, SIGTERM);
        const auto tStart = std::chrono::steady_clock::now();
        while (access(sPidFile.c_str(), F_OK) == 0 && MsSince(tStart) < 5000) {
            usleep(10000);
        }
        EXPECT_NE(access(sPidFile.c_str(), F_OK), 0) << "pid file left behind";
    }
    EXPECT_EQ(0, oTaken.Stop());
}

}  // namespace
