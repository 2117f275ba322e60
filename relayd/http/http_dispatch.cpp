#include "relayd/http/http_dispatch.h"

#include <strings.h>

#include <cstring>
#include <exception>

#include "relay_proto/hex.h"
#include "relayd/http/http_guard.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"

namespace relayd {

namespace {

// The stream's cookie (the token's bytes in hex): EventSource cannot send an
// Authorization header.
const char kTokenCookie[] = "fanout_token";

// Pages load their own scripts and styles only; pictures may also come from blob: URLs
// (the message image, fetched with the token).
const char kContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

bool StartsWith(const std::string& sText, const char* szPrefix) {
    return sText.compare(0, strlen(szPrefix), szPrefix) == 0;
}

bool Authorized(const std::string& sToken, const SHttpRequest& oReq) {
    std::string sGiven;
    if (BearerToken(oReq.Header("Authorization"), sGiven)) {
        return TokensEqual(sGiven, sToken);
    }
    std::string sHex;
    return oReq.m_sPath == "/api/v1/events" &&
           CookieValue(oReq.Header("Cookie"), kTokenCookie, sHex) &&
           relay_proto::HexDecode(sHex, sGiven) && TokensEqual(sGiven, sToken);
}

// Keeps other web sites and callers without the token out; false with the answer set.
bool Guard(const std::string& sToken, const SHttpRequest& oReq, SHttpResponse& oRes) {
    const std::string sHost = oReq.Header("Host");
    const bool bApi = StartsWith(oReq.m_sPath, "/api/");
    if (bApi) {
        oRes.SetHeader("Cache-Control", "no-store");
    }
    // Without a token the relay listens on loopback only; a page of another site that
    // reaches it through a DNS name of its own must not read the inbox.
    if (sToken.empty() && !sHost.empty() && !HostHeaderAllowed(sHost)) {
        ReplyError(oRes, 400, "this relay answers to its IP address or localhost only");
        return false;
    }
    // A page of another site may post to the relay but then names itself in Origin.
    if (oReq.m_sMethod != "GET" && oReq.m_sMethod != "HEAD" && oReq.HasHeader("Origin") &&
        !OriginMatchesHost(oReq.Header("Origin"), sHost)) {
        ReplyError(oRes, 403, "requests from other sites' pages are refused");
        return false;
    }
    if (bApi && !sToken.empty() && !Authorized(sToken, oReq)) {
        oRes.SetHeader("WWW-Authenticate", "Bearer");
        ReplyError(oRes, 401, "this relay needs its token: Authorization: Bearer <token>");
        return false;
    }
    return true;
}

// "application/json", any case, with or without parameters ("; charset=utf-8").
bool IsJsonType(const std::string& sContentType) {
    static const char kJson[] = "application/json";
    const size_t nLen = sizeof(kJson) - 1;
    return strncasecmp(sContentType.c_str(), kJson, nLen) == 0 &&
           (sContentType.size() == nLen || sContentType[nLen] == ';' || sContentType[nLen] == ' ' ||
            sContentType[nLen] == '\t');
}

// A body the relay reads is JSON, and says so: a form another site's page posts
// (text/plain, urlencoded, multipart: sent without asking the relay first) is refused.
bool BodyTypeAllowed(const SHttpRequest& oReq, SHttpResponse& oRes) {
    const bool bTakesJson = oReq.m_sMethod == "POST" && oReq.m_sPath == "/api/v1/keys";
    if ((bTakesJson || !oReq.m_sBody.empty()) && !IsJsonType(oReq.Header("Content-Type"))) {
        ReplyError(oRes, 415, "a request body must be sent as Content-Type: application/json");
        return false;
    }
    return true;
}

}  // namespace

void AddAllRoutes(CHttpRouter& oRouter, SHttpContext& oContext) {
    AddMessageRoutes(oRouter, oContext);
    AddKeyRoutes(oRouter, oContext);
    AddEventRoutes(oRouter, oContext);
    AddPageRoutes(oRouter);
    AddProbeRoutes(oRouter, oContext);
}

void HandleRequest(SHttpContext& oContext, const CHttpRouter& oRouter, SHttpRequest& oReq,
                   SHttpResponse& oRes) {
    oRes = SHttpResponse();
    if (!Guard(oContext.m_oSecrets.HttpToken(), oReq, oRes) || !BodyTypeAllowed(oReq, oRes)) {
        return;
    }
    const CHttpRouter::FnHandler* pHandler = oRouter.Find(oReq);
    if (pHandler == nullptr) {
        ReplyError(oRes, 404, "not found");
        return;
    }
    try {
        (*pHandler)(oReq, oRes);
    } catch (const std::exception& oError) {
        const std::string sCacheControl = oRes.Header("Cache-Control");
        oRes = SHttpResponse();
        if (!sCacheControl.empty()) {
            oRes.SetHeader("Cache-Control", sCacheControl);
        }
        ReplyError(oRes, 500, std::string("internal error: ") + oError.what());
    }
}

void AddStandardHeaders(SHttpResponse& oRes) {
    oRes.SetHeader("X-Content-Type-Options", "nosniff");
    oRes.SetHeader("Referrer-Policy", "no-referrer");
    oRes.SetHeader("Content-Security-Policy", kContentSecurityPolicy);
    oRes.SetHeader("X-Frame-Options", "DENY");
}

}  // namespace relayd
