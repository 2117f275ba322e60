#include "fanout_client/settings.h"

#include "fanout_client/build_config.h"

FUNC_TYPE g_eFunc;

const std::string g_sSvrIp1 = FANOUT_SVR_IP1;
const std::string g_sSvrIp2 = FANOUT_SVR_IP2;
VEC_STR g_vecSvrIp;

std::string g_sSender;
std::string g_sRecver;
std::string g_sCc;
std::string g_sTitle;
std::string g_sContent;
std::string g_sContentFile;
std::string g_sAttachPaths;
std::string g_sImgFile;
std::string g_sImgData;
std::string g_sCodingFormat = "gbk";
std::string g_sSystemKeyId;
VEC_STR g_vecAttachPaths;
