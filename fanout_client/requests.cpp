#include "requests.h"

// The channel requests are not built yet: each one fails with a clear reason.
static bool NotYetAvailable(std::string& sErrMsg) {
    sErrMsg = "this channel is not available in this build";
    return false;
}

bool SendSMSMsgToSvr(const VEC_STR&, uint16_t, std::string& sErrMsg, uint32_t) {
    return NotYetAvailable(sErrMsg);
}
bool SendZEPHMsgToSvr(const VEC_STR&, uint16_t, std::string& sErrMsg, uint32_t) {
    return NotYetAvailable(sErrMsg);
}
bool SendLUMOMsgToSvr(const VEC_STR&, uint16_t, std::string& sErrMsg, uint32_t) {
    return NotYetAvailable(sErrMsg);
}
bool SendMailToSvr(const VEC_STR&, uint16_t, std::string& sErrMsg, uint32_t) {
    return NotYetAvailable(sErrMsg);
}
