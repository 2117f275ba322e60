#include "fanout_client/requests.h"

#include <ctime>

#include "dev_tools/dt_tcp_conn.h"
#include "dev_tools/utils.h"
#include "fanout_client/console.h"
#include "fanout_client/conv.h"
#include "fanout_client/mail_files.h"
#include "fanout_client/pkg_errmsg.h"
#include "fanout_client/settings.h"

namespace {

// A new request package, stamped now.
void FillRequestHead(MSG_PKG& oPkg) {
    MSG_PKG_HEAD& oHead = oPkg.head();
    oHead.set_cmd(PKG_CMD);
    oHead.set_pkg_type(PKG_TYPE_REQUEST);
    oHead.set_client_version(PKG_CLIENT_VERSION);
    oHead.set_timestamp(PkgTimestamp(time(nullptr)));
    oHead.set_result(RES_OK);
}

// A string field: its length as a 4-byte big-endian number, then its bytes.
void AppendField(MSG_PKG& oPkg, const std::string& sField) {
    oPkg << static_cast<uint32_t>(sField.size()) << sField;
}

// The text as the user gave it: back to GBK when the input was GBK.
std::string ShownText(const std::string& sUtf8) {
    return g_sCodingFormat == "gbk" ? Conv2Gbk(sUtf8) : sUtf8;
}

// Offers the package to the servers in order until one completes an exchange, then
// checks its reply. True when the server accepted the message. With pFiles, the package
// continues with the mail's attachments.
bool ExchangeWithServers(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sPkgContent,
                         std::string& sErrMsg, uint32_t dwTimeout,
                         const CMailFiles* pFiles = nullptr) {
    bool bSendOk = false;
    for (uint32_t i = 0; i < vecSvrIp.size() && !bSendOk; ++i) {
        bSendOk = pFiles != nullptr
                      ? pFiles->SendRecv(vecSvrIp[i], wPort, sPkgContent, sErrMsg, dwTimeout)
                      : dt::CTcpConn::SendRecvPkgByHead2Tail3<PKG_SIZE_T>(
                            vecSvrIp[i], wPort, sPkgContent, sErrMsg, dwTimeout);
    }
    if (!bSendOk) {
        return false;
    }
    // A reply too short to hold a header is refused before any header field is read.
    if (sPkgContent.size() < sizeof(MSG_PKG_HEAD)) {
        sErrMsg = "pkg size(" + to_str(sPkgContent.size()) + ") error!";
        return false;
    }
    MSG_PKG oReply;
    oReply.SetPkgData(sPkgContent);
    const uint8_t cPkgType = oReply.head().pkg_type();
    if (cPkgType != PKG_TYPE_RESPONSE) {
        sErrMsg = "pkg type(" + ToType<std::string, uint8_t>(cPkgType) + ") error!";
        return false;
    }
    const uint32_t dwRes = oReply.head().result();
    if (dwRes != RES_OK) {
        sErrMsg = GetPkgErrMsg(dwRes) + " err_code:" + ToStr<uint32_t>(dwRes);
        return false;
    }
    return true;
}

// Takes the finished package's bytes for sending; the package is not used again.
std::string TakeRequest(MSG_PKG& oPkg) {
    std::string sPkgContent;
    oPkg.SwapPkgData(sPkgContent);
    return sPkgContent;
}

// The three instant-message channels: one procedure, the channel decides the body and
// the success line.
bool SendImMsgToSvr(FUNC_TYPE eFunc, const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                    uint32_t dwTimeout) {
    MSG_PKG oPkg;
    FillRequestHead(oPkg);
    g_sSender = "im_server";
    if (eFunc == FT_SMS) {
        g_sTitle.clear();
    }
    AppendField(oPkg, g_sSystemKeyId);
    AppendField(oPkg, g_sSender);
    AppendField(oPkg, g_sRecver);
    if (eFunc == FT_LUMO) {
        AppendField(oPkg, g_sContent);
        AppendField(oPkg, g_sImgData);
    } else {
        AppendField(oPkg, g_sTitle);
        AppendField(oPkg, g_sContent);
    }
    std::string sPkgContent = TakeRequest(oPkg);
    if (!ExchangeWithServers(vecSvrIp, wPort, sPkgContent, sErrMsg, dwTimeout)) {
        return false;
    }

    const std::string sContent = ShownText(g_sContent);
    switch (eFunc) {
        case FT_SMS:
            PrintResult(RT_OK, "Send sms success! (receiver: %s, content: %s)\n", g_sRecver.c_str(),
                        sContent.c_str());
            break;
        case FT_ZEPH:
            PrintResult(RT_OK, "Send zeph success! (receiver: %s, title: %s, content: %s)\n",
                        g_sRecver.c_str(), ShownText(g_sTitle).c_str(), sContent.c_str());
            break;
        default:
            PrintResult(RT_OK, "Send lumo success! (receiver: %s, content: %s, img_path: %s)\n",
                        g_sRecver.c_str(), sContent.c_str(), g_sImgFile.c_str());
            break;
    }
    return true;
}

}  // namespace

bool SendSMSMsgToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                     uint32_t dwTimeout) {
    return SendImMsgToSvr(FT_SMS, vecSvrIp, wPort, sErrMsg, dwTimeout);
}

bool SendZEPHMsgToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                      uint32_t dwTimeout) {
    return SendImMsgToSvr(FT_ZEPH, vecSvrIp, wPort, sErrMsg, dwTimeout);
}

bool SendLUMOMsgToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                      uint32_t dwTimeout) {
    return SendImMsgToSvr(FT_LUMO, vecSvrIp, wPort, sErrMsg, dwTimeout);
}

bool SendMailToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                   uint32_t dwTimeout) {
    MSG_PKG oPkg;
    FillRequestHead(oPkg);
    g_sSender = "qem_mail";
    // The total was checked from the sizes before; a file that grew since (or a pipe,
    // whose size shows 0) is still held to it.
    CMailFiles oFiles;
    if (!oFiles.Open(g_vecAttachPaths, sErrMsg)) {
        return false;
    }
    AppendField(oPkg, g_sSystemKeyId);
    AppendField(oPkg, g_sSender);
    AppendField(oPkg, g_sRecver);
    AppendField(oPkg, g_sCc);
    AppendField(oPkg, g_sTitle);
    AppendField(oPkg, g_sContent);
    oPkg << static_cast<uint32_t>(g_vecAttachPaths.size());
    std::string sPkgContent = TakeRequest(oPkg);
    if (!ExchangeWithServers(vecSvrIp, wPort, sPkgContent, sErrMsg, dwTimeout, &oFiles)) {
        return false;
    }
    PrintResult(RT_OK,
                "Send mail success! (receiver: %s, cc: %s, title: %s, content_size: %s, "
                "attachment_count: %u)\n",
                g_sRecver.c_str(), g_sCc.c_str(), ShownText(g_sTitle).c_str(),
                CObjSize::ReadableSize(g_sContent.size()).c_str(),
                static_cast<unsigned>(g_vecAttachPaths.size()));
    return true;
}
