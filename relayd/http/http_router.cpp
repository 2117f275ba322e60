#include "relayd/http/http_router.h"

namespace relayd {

namespace {

std::vector<std::string> Segments(const std::string& sPath) {
    std::vector<std::string> vecSegments;
    size_t nStart = 0;
    while (true) {
        const size_t nSlash = sPath.find('/', nStart);
        vecSegments.push_back(sPath.substr(nStart, nSlash - nStart));
        if (nSlash == std::string::npos) {
            return vecSegments;
        }
        nStart = nSlash + 1;
    }
}

}  // namespace

void CHttpRouter::Get(const char* szPattern, FnHandler fnHandler) {
    Add("GET", szPattern, std::move(fnHandler));
}

void CHttpRouter::Post(const char* szPattern, FnHandler fnHandler) {
    Add("POST", szPattern, std::move(fnHandler));
}

void CHttpRouter::Delete(const char* szPattern, FnHandler fnHandler) {
    Add("DELETE", szPattern, std::move(fnHandler));
}

void CHttpRouter::Add(const char* szMethod, const char* szPattern, FnHandler fnHandler) {
    m_vecRoutes.push_back(SRoute{szMethod, Segments(szPattern), std::move(fnHandler)});
}

const CHttpRouter::FnHandler* CHttpRouter::Find(SHttpRequest& oReq) const {
    const std::string& sMethod = oReq.m_sMethod == "HEAD" ? std::string("GET") : oReq.m_sMethod;
    const std::vector<std::string> vecPath = Segments(oReq.m_sPath);
    for (const SRoute& oRoute : m_vecRoutes) {
        if (oRoute.m_sMethod != sMethod || oRoute.m_vecSegments.size() != vecPath.size()) {
            continue;
        }
        std::vector<std::string> vecMatches = {oReq.m_sPath};
        bool bMatch = true;
        for (size_t i = 0; i < vecPath.size() && bMatch; ++i) {
            if (oRoute.m_vecSegments[i] == "*") {
                bMatch = !vecPath[i].empty();
                vecMatches.push_back(vecPath[i]);
            } else {
                bMatch = oRoute.m_vecSegments[i] == vecPath[i];
            }
        }
        if (bMatch) {
            oReq.m_vecMatches = std::move(vecMatches);
            return &oRoute.m_fnHandler;
        }
    }
    return nullptr;
}

}  // namespace relayd
