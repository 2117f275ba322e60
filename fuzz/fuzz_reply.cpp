// The channel requests' handling of whatever a server answers, over a real loopback connection
// to the peer of reply_peer.h.
//
// Input: a flag byte, a marker byte, then the bytes the server writes after reading the request
// (at most 64 KB). Flag bits 0-1 choose the request (sms, zeph, lumo, mail); with bit 2 set the
// reply is cut into pieces at the marker bytes (which are not sent; at most 8 pieces, the last
// one keeps any further markers), written with a pause between them; bit 3 chooses the input
// coding "utf8" instead of "gbk" for the success line; bits 4-5 put a server that refuses the
// connection (127.0.0.2, where nothing listens) before or after the peer in the server list. The
// peer always closes after writing, so the client never has to wait for its time limit.
//
// Properties: the request returns within its time limits, with exactly the result and error
// text the reply calls for (reply_model.h); the request frame it sent is well-formed and the
// relay simulator decodes it into the fields that were set.
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fanout_client/pkg_define.h"
#include "fanout_client/requests.h"
#include "fanout_client/settings.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/reply_model.h"
#include "fuzz/reply_peer.h"
#include "relay_proto/request.h"
#include "tests/wire_bytes.h"

namespace {

// The client's time limit. It is never waited out (the peer always closes), but it also ends a
// read that sees a gap this long between two pieces: kept well above any scheduling delay on a
// loaded machine, so that only the reply decides the outcome.
const uint32_t kTimeoutMs = 1000;
// The send and two reads, each read at most twice the limit.
const int64_t kMaxCallMs = 5 * kTimeoutMs;
const int kPeerWaitMs = 8000;
const size_t kMaxReply = 64u << 10;
const size_t kMaxPieces = 8;

const char kContent[] = "\xe4\xbd\xa0\xe5\xa5\xbd, fuzz";  // UTF-8, as the options leave it
const char kTitle[] = "\xe6\xa0\x87\xe9\xa2\x98";
const char kRecver[] = "u1;u2";
const char kCc[] = "c1";
const char kKeyId[] = "k1";
const std::string kImage("\x89PNG\0\x01", 6);

typedef bool (*SEND_FUNC)(const VEC_STR&, uint16_t, std::string&, uint32_t);

struct SChannel {
    SEND_FUNC fSend;
    relay_proto::CHANNEL eChannel;
};

const SChannel kChannels[] = {{SendSMSMsgToSvr, relay_proto::CH_SMS},
                              {SendZEPHMsgToSvr, relay_proto::CH_ZEPH},
                              {SendLUMOMsgToSvr, relay_proto::CH_LUMO},
                              {SendMailToSvr, relay_proto::CH_MAIL}};

const char kPeerIp[] = "127.0.0.1";
const char kRefusingIp[] = "127.0.0.2";
const char kRefusedText[] = "Connect: socket error(111): Connection refused";

// The success lines go nowhere: they are not checked, and would flood the fuzzer's output.
void SilenceStdoutOnce() {
    static const bool s_bDone = freopen("/dev/null", "w", stdout) != nullptr;
    FUZZ_CHECK(s_bDone);
}

void SetSettings(bool bUtf8) {
    g_sSystemKeyId = kKeyId;
    g_sRecver = kRecver;
    g_sCc = kCc;
    g_sTitle = kTitle;
    g_sContent = kContent;
    g_sImgData = kImage;
    g_sImgFile = "img.png";
    g_sCodingFormat = bUtf8 ? "utf8" : "gbk";
    g_vecAttachPaths.clear();
}

std::vector<std::string> CutPieces(const std::string& sScript, bool bSplit, char cMarker) {
    std::vector<std::string> vecPieces;
    size_t nStart = 0;
    for (size_t nMark = sScript.find(cMarker);
         bSplit && nMark != std::string::npos && vecPieces.size() + 1 < kMaxPieces;
         nMark = sScript.find(cMarker, nStart)) {
        vecPieces.push_back(sScript.substr(nStart, nMark - nStart));
        nStart = nMark + 1;
    }
    vecPieces.push_back(sScript.substr(nStart));
    return vecPieces;
}

// Holds back SIGALRM in this thread while it lives. libFuzzer's time-out watchdog is a SIGALRM
// handler, and a blocking connect() that it interrupts fails with EINTR: the environment's doing,
// not the reply's. Held back, the signal arrives when the request has returned, which every
// request does within kMaxCallMs.
class CAlarmHeldBack {
public:
    CAlarmHeldBack() {
        sigset_t oAlarm;
        sigemptyset(&oAlarm);
        sigaddset(&oAlarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &oAlarm, &m_oSaved);
    }
    ~CAlarmHeldBack() { pthread_sigmask(SIG_SETMASK, &m_oSaved, nullptr); }
    CAlarmHeldBack(const CAlarmHeldBack&) = delete;
    CAlarmHeldBack& operator=(const CAlarmHeldBack&) = delete;

private:
    sigset_t m_oSaved;
};

// The peer alone, or with a refusing server before it (which the request skips) or after it
// (which the request tries when the peer's exchange fails).
VEC_STR ServerList(unsigned nChoice) {
    switch (nChoice) {
        case 1:
            return {kRefusingIp, kPeerIp};
        case 2:
            return {kPeerIp, kRefusingIp};
        default:
            return {kPeerIp};
    }
}

void CheckRequestFrame(const std::string& sFrame, relay_proto::CHANNEL eChannel) {
    FUZZ_CHECK(sFrame.size() >= 6 && sFrame[0] == 0x02 && sFrame.back() == 0x03);
    FUZZ_CHECK(wire_bytes::ReadBe32(sFrame.data() + 1) == sFrame.size());
    relay_proto::SRequest oReq;
    std::string sErrMsg;
    FUZZ_CHECK(
        relay_proto::DecodeRequest(eChannel, sFrame.substr(5, sFrame.size() - 6), oReq, sErrMsg));
    FUZZ_CHECK(oReq.m_cCmd == 1 && oReq.m_cPkgType == 0 && oReq.m_cClientVersion == 1);
    FUZZ_CHECK(oReq.m_dwResult == 0);
    FUZZ_CHECK(oReq.m_sKeyId == kKeyId && oReq.m_sReceivers == kRecver);
    FUZZ_CHECK(oReq.m_sContent == kContent);
    const bool bMail = eChannel == relay_proto::CH_MAIL;
    FUZZ_CHECK(oReq.m_sSender == (bMail ? "qem_mail" : "im_server"));
    FUZZ_CHECK(oReq.m_sCc == (bMail ? kCc : ""));
    FUZZ_CHECK(oReq.m_sImage == (eChannel == relay_proto::CH_LUMO ? kImage : ""));
    const bool bTitled = eChannel == relay_proto::CH_ZEPH || bMail;
    FUZZ_CHECK(oReq.m_sTitle == (bTitled ? kTitle : ""));
    FUZZ_CHECK(oReq.m_vecAttachments.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    SilenceStdoutOnce();
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cFlags = oInput.TakeByte();
    const char cMarker = static_cast<char>(oInput.TakeByte());
    const std::string sScript = oInput.TakeBytes(kMaxReply);
    const SChannel& oChannel = kChannels[cFlags & 3];
    SetSettings((cFlags & 8) != 0);

    const std::vector<std::string> vecPieces = CutPieces(sScript, (cFlags & 4) != 0, cMarker);
    std::string sReply;
    for (const std::string& sPiece : vecPieces) {
        sReply += sPiece;
    }
    fuzz::CReplyPeer& oPeer = fuzz::CReplyPeer::Instance();
    oPeer.Arm(vecPieces);

    const VEC_STR vecServers = ServerList(cFlags >> 4 & 3);
    std::string sErrMsg;
    const auto oStart = std::chrono::steady_clock::now();
    bool bOk = false;
    {
        const CAlarmHeldBack oHeldBack;
        bOk = oChannel.fSend(vecServers, oPeer.Port(), sErrMsg, kTimeoutMs);
    }
    const auto oElapsed = std::chrono::steady_clock::now() - oStart;
    std::string sRequest;
    FUZZ_CHECK(oPeer.WaitServed(kPeerWaitMs, sRequest));
    FUZZ_CHECK(std::chrono::duration_cast<std::chrono::milliseconds>(oElapsed).count() <
               kMaxCallMs);

    fuzz::SReplyOutcome oWant = fuzz::ExpectedOutcome(sReply);
    if (!oWant.bExchanged && vecServers.back() == kRefusingIp) {
        oWant.sErrMsg = kRefusedText;
    }
    if (bOk != oWant.bOk || (!bOk && sErrMsg != oWant.sErrMsg)) {
        fprintf(stderr, "got %d \"%s\", want %d \"%s\"\n", bOk, sErrMsg.c_str(), oWant.bOk,
                oWant.sErrMsg.c_str());
    }
    FUZZ_CHECK(bOk == oWant.bOk);
    FUZZ_CHECK(bOk || sErrMsg == oWant.sErrMsg);
    CheckRequestFrame(sRequest, oChannel.eChannel);
    return 0;
}
