#include "options.h"

#include "settings.h"

bool Initialize(int, char**) {
    g_vecSvrIp.push_back(g_sSvrIp1);
    g_vecSvrIp.push_back(g_sSvrIp2);
    return true;
}

bool CheckNameListValidity(const std::string&) { return true; }

bool ReadFile(const std::string&, std::string&, std::string& sErrMsg) {
    sErrMsg = "not available";
    return false;
}
