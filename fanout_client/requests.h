// The four channel requests: build the package from the settings, offer it to the
// servers in order, check the reply, print the success line. On failure they return
// false with the reason in sErrMsg and print nothing.
#ifndef FANOUT_CLIENT_REQUESTS_H
#define FANOUT_CLIENT_REQUESTS_H

#include <cstdint>
#include <string>

#include "fanout_client/pkg_define.h"

bool SendSMSMsgToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                     uint32_t dwTimeout);
bool SendZEPHMsgToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                      uint32_t dwTimeout);
bool SendLUMOMsgToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                      uint32_t dwTimeout);
bool SendMailToSvr(const VEC_STR& vecSvrIp, uint16_t wPort, std::string& sErrMsg,
                   uint32_t dwTimeout);

#endif  // FANOUT_CLIENT_REQUESTS_H
