#include "fanout_client/pkg_errmsg.h"

std::string GetPkgErrMsg(uint32_t dwRes) {
    switch (dwRes) {
        case 1:
            return "Unauthorized client IP. ";
        case 2:
            return "Invalid parameter. Please make sure your input parameter is all right.";
        case 3:
            return "Remote web-service called, but return error!";
        case 4:
            return "Pkg tackle failed! Maybe the pkg isn't integrate.";
        case 5:
            return "System key verify failed! Please check!";
        default:
            return "Unknown problem!";
    }
}
