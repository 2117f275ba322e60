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

void ServeAsset(const std::string& sName, httplib::Response& oRes) {
    const SWebAsset* pAsset = FindAsset(sName);
    if (pAsset == nullptr) {
        ReplyError(oRes, 404, "no such file");
        return;
    }
    // Small and served from memory: the browser asks again each time, so a new relay
    // binary never shows an old script.
    oRes.set_header("Cache-Control", "no-cache");
    oRes.set_content(reinterpret_cast<const char*>(pAsset->m_pData), pAsset->m_nSize,
                     pAsset->m_szContentType);
}

}  // namespace

void AddPageRoutes(httplib::Server& oServer) {
    oServer.Get("/", [](const httplib::Request&, httplib::Response& oRes) {
        ServeAsset("index.html", oRes);
    });
    oServer.Get("/keys", [](const httplib::Request&, httplib::Response& oRes) {
        ServeAsset("keys.html", oRes);
    });
    oServer.Get(R"(/messages/([^/]+))", [](const httplib::Request& oReq, httplib::Response& oRes) {
        int64_t llId = 0;
        if (ParseMessageId(oReq.matches[1], llId) != ID_OK) {
            ReplyError(oRes, 404, "no such message");
            return;
        }
        ServeAsset("message.html", oRes);
    });
    // Only the scripts and the style sheet: the HTML files have their own paths.
    oServer.Get(R"(/static/([a-z]+\.(js|css)))",
                [](const httplib::Request& oReq, httplib::Response& oRes) {
                    ServeAsset(oReq.matches[1], oRes);
                });
}

}  // namespace relayd
