// Process-wide settings of one run: the channel, the built-in servers and ports, and
// the values the options fill. Owned by the front end, read by the requests.
#ifndef FANOUT_CLIENT_SETTINGS_H
#define FANOUT_CLIENT_SETTINGS_H

#include <cstdint>
#include <string>

#include "fanout_client/pkg_define.h"

enum FUNC_TYPE { FT_ZEPH = 1, FT_SMS = 2, FT_MAIL = 3, FT_LUMO = 4, FT_UNDEFINED = 255 };

const uint16_t g_wMailPort = 12460;
const uint16_t g_wZEPHPort = 12461;
const uint16_t g_wLumoPort = 12462;
const uint16_t g_wSMSPort = 12463;

const uint32_t g_dwClientTimeout = 3;  // seconds; requests get it in milliseconds

extern FUNC_TYPE g_eFunc;

extern const std::string g_sSvrIp1;
extern const std::string g_sSvrIp2;
extern VEC_STR g_vecSvrIp;

extern std::string g_sSender;
extern std::string g_sRecver;
extern std::string g_sCc;
extern std::string g_sTitle;
extern std::string g_sContent;
extern std::string g_sContentFile;
extern std::string g_sAttachPaths;
extern std::string g_sImgFile;
extern std::string g_sImgData;
extern std::string g_sCodingFormat;
extern std::string g_sSystemKeyId;
extern VEC_STR g_vecAttachPaths;

#endif  // FANOUT_CLIENT_SETTINGS_H
