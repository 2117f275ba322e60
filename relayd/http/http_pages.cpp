// The pages: plain HTML shells whose scripts fetch everything from /api/. They hold no
// message data themselves, so they are served without the token; the scripts ask for
// it when the API answers 401.
#include <cstring>

#include "relayd/http/http_parse.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"
#include "relayd/http/web_assets.h"

namespace relayd {

namespace {

const SWebAsset* FindAsset(const std::string& sName) {
    for (size_t i = 0; i < g_nWebAssetCount; ++i) {
        if (sName == g_aWebAssets[i].m_szName) {
            return &g_aWebAssets[i];
        }
    }
    return nullptr;
}

void ServeAsset(const std::string& sName, SHttpResponse& oRes) {
    const SWebAsset* pAsset = FindAsset(sName);
    if (pAsset == nullptr) {
        ReplyError(oRes, 404, "no such file");
        return;
    }
    // Small and served from memory: the browser asks again each time, so a new relay
    // binary never shows an old script.
    oRes.SetHeader("Cache-Control", "no-cache");
    oRes.SetContent(reinterpret_cast<const char*>(pAsset->m_pData), pAsset->m_nSize,
                    pAsset->m_szContentType);
}

// A script or the style sheet by its name's shape: [a-z]+ then .js or .css.
bool IsStaticName(const std::string& sName) {
    const size_t nDot = sName.find('.');
    return nDot != std::string::npos && nDot > 0 &&
           sName.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == nDot &&
           (sName.compare(nDot, std::string::npos, ".js") == 0 ||
            sName.compare(nDot, std::string::npos, ".css") == 0);
}

}  // namespace

void AddPageRoutes(CHttpRouter& oServer) {
    oServer.Get("/",
                [](const SHttpRequest&, SHttpResponse& oRes) { ServeAsset("index.html", oRes); });
    oServer.Get("/keys",
                [](const SHttpRequest&, SHttpResponse& oRes) { ServeAsset("keys.html", oRes); });
    oServer.Get("/messages/*", [](const SHttpRequest& oReq, SHttpResponse& oRes) {
        int64_t llId = 0;
        if (ParseMessageId(oReq.m_vecMatches[1], llId) != ID_OK) {
            ReplyError(oRes, 404, "no such message");
            return;
        }
        ServeAsset("message.html", oRes);
    });
    // Only the scripts and the style sheet: the HTML files have their own paths.
    oServer.Get("/static/*", [](const SHttpRequest& oReq, SHttpResponse& oRes) {
        if (!IsStaticName(oReq.m_vecMatches[1])) {
            ReplyError(oRes, 404, "not found");
            return;
        }
        ServeAsset(oReq.m_vecMatches[1], oRes);
    });
}

}  // namespace relayd
