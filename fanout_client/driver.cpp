#include "fanout_client/driver.h"

#include <cstdlib>
#include <string>

#include "fanout_client/console.h"
#include "fanout_client/options.h"
#include "fanout_client/requests.h"
#include "fanout_client/settings.h"

FUNC_TYPE ChannelOfWord(const std::string& sFuncStr) {
    static const struct {
        const char* szWord;
        FUNC_TYPE eFunc;
    } kChannels[] = {{"zeph", FT_ZEPH}, {"sms", FT_SMS}, {"mail", FT_MAIL}, {"lumo", FT_LUMO}};
    for (const auto& oChannel : kChannels) {
        if (sFuncStr == oChannel.szWord) {
            return oChannel.eFunc;
        }
    }
    return FT_UNDEFINED;
}

namespace {

bool SendByChannel(FUNC_TYPE eFunc, std::string& sErrMsg) {
    const uint32_t dwTimeout = g_dwClientTimeout * 1000;
    switch (eFunc) {
        case FT_SMS:
            return SendSMSMsgToSvr(g_vecSvrIp, g_wSMSPort, sErrMsg, dwTimeout);
        case FT_MAIL:
            return SendMailToSvr(g_vecSvrIp, g_wMailPort, sErrMsg, dwTimeout);
        case FT_LUMO:
            return SendLUMOMsgToSvr(g_vecSvrIp, g_wLumoPort, sErrMsg, dwTimeout);
        case FT_ZEPH:
            return SendZEPHMsgToSvr(g_vecSvrIp, g_wZEPHPort, sErrMsg, dwTimeout);
        case FT_UNDEFINED:
            break;
    }
    return false;
}

}  // namespace

int ClientMain(int argc, char** argv) {
    const std::string sProgName = argv[0] ? argv[0] : "";
    if (argc < 2) {
        Usage(sProgName);
        exit(1);
    }
    const std::string sFuncStr = argv[1];
    if (sFuncStr == "-v") {
        ShowVersion();
        exit(0);
    }
    g_eFunc = ChannelOfWord(sFuncStr);
    if (g_eFunc == FT_UNDEFINED) {
        Usage(sProgName);
        exit(1);
    }

    Initialize(argc, argv);

    std::string sErrMsg;
    const bool bSendOk = SendByChannel(g_eFunc, sErrMsg);
    if (bSendOk) {
        return 0;
    }
    PrintResult(RT_ERROR, "Send to svr failed! Msg: %s.\n", sErrMsg.c_str());
    return 1;
}
