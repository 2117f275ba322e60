#include "fanout_client/pkg_errmsg.h"

#include "fanout_client/pkg_define.h"

std::string GetPkgErrMsg(uint32_t dwRes) {
    switch (dwRes) {
        case RES_UNAUTHORIZED_IP:
            return "Unauthorized client IP. ";
        case RES_INVALID_PARAM:
            return "Invalid parameter. Please make sure your input parameter is all right.";
        case RES_REMOTE_FAILED:
            return "Remote web-service called, but return error!";
        case RES_BAD_PACKAGE:
            return "Pkg tackle failed! Maybe the pkg isn't integrate.";
        case RES_KEY_REJECTED:
            return "System key verify failed! Please check!";
        default:
            return "Unknown problem!";
    }
}
