// The HTTP side's request handling without sockets: the guard, the JSON body rule, the
// routes, path and query parsing, and every handler, on a real SQLite store.
//
// Input: a control byte, then a request as text: "METHOD TARGET" on the first line,
// "Name: value" header lines, an empty line, then the body. Control bit 0 gives the relay
// a token ("t0k").
//
// Properties: the answer's status is one the API documents; an error answer (4xx, 5xx)
// is {"error": text}; every answer declared JSON parses as JSON; a waiting or streaming
// answer takes its turn without failing; with a token, no /api/ answer but 401 goes to a
// request that does not carry it.
#include <stdlib.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "relayd/config/live_secrets.h"
#include "relayd/http/http_dispatch.h"
#include "relayd/http/http_target.h"
#include "relayd/store/keyring.h"
#include "relayd/store/store.h"

namespace {

// A store in a folder of its own for the whole run.
relayd::IStore& Store() {
    static std::unique_ptr<relayd::IStore> pStore = [] {
        char szDir[] = "/tmp/fuzz_http.XXXXXX";
        FUZZ_CHECK(mkdtemp(szDir) != nullptr);
        std::string sErrMsg;
        std::unique_ptr<relayd::IStore> pOpened =
            relayd::OpenStore(std::string(szDir) + "/r.db", sErrMsg);
        FUZZ_CHECK(pOpened != nullptr);
        return pOpened;
    }();
    return *pStore;
}

struct SRelay {
    explicit SRelay(bool bToken) {
        m_oConfig.m_sHttp = "127.0.0.1:0";
        m_oConfig.m_sHttpToken = bToken ? "t0k" : "";
        relayd::SKey oKey;
        oKey.m_sId = "filekey";
        oKey.m_eSource = relayd::KS_CONFIG;
        m_oConfig.m_vecKeys.push_back(oKey);
        m_pKeys.reset(new relayd::CKeyRing(m_oConfig.m_vecKeys, &Store()));
        m_pSecrets.reset(new relayd::CLiveSecrets(m_oConfig));
        m_pContext.reset(new relayd::SHttpContext{m_oConfig, Store(), *m_pKeys, *m_pSecrets,
                                                  m_oMetrics, m_oEvents, nullptr, nullptr});
        relayd::AddAllRoutes(m_oRouter, *m_pContext);
    }

    relayd::SConfig m_oConfig;
    relayd::CMetrics m_oMetrics;
    relayd::CEventBus m_oEvents;
    std::unique_ptr<relayd::CKeyRing> m_pKeys;
    std::unique_ptr<relayd::CLiveSecrets> m_pSecrets;
    std::unique_ptr<relayd::SHttpContext> m_pContext;
    relayd::CHttpRouter m_oRouter;
};

// The request's text into oReq; false when its first line holds no target.
bool ParseRequest(const std::string& sText, relayd::SHttpRequest& oReq) {
    size_t nStart = 0;
    size_t nEnd = sText.find('\n');
    const std::string sFirst = sText.substr(0, nEnd);
    const size_t nSpace = sFirst.find(' ');
    if (nSpace == std::string::npos) {
        return false;
    }
    oReq.m_sMethod = sFirst.substr(0, nSpace);
    std::string sErrMsg;
    if (!relayd::ParseTarget(sFirst.substr(nSpace + 1), oReq.m_sPath, oReq.m_mapParams, sErrMsg)) {
        return false;
    }
    while (nEnd != std::string::npos) {
        nStart = nEnd + 1;
        nEnd = sText.find('\n', nStart);
        const std::string sLine = sText.substr(nStart, nEnd - nStart);
        const size_t nColon = sLine.find(": ");
        if (sLine.empty() || nColon == std::string::npos) {
            break;
        }
        oReq.m_vecHeaders.emplace_back(sLine.substr(0, nColon), sLine.substr(nColon + 2));
    }
    oReq.m_sBody = nEnd == std::string::npos ? "" : sText.substr(nEnd + 1);
    return true;
}

void CheckAnswer(const relayd::SHttpResponse& oRes) {
    static const std::set<int> kStatuses = {200, 201, 204, 400, 401, 403, 404, 409, 415, 500, 503};
    FUZZ_CHECK(kStatuses.count(oRes.m_iStatus) == 1);
    const bool bJson = oRes.m_sContentType.compare(0, 16, "application/json") == 0;
    if (bJson) {
        FUZZ_CHECK(nlohmann::json::accept(oRes.m_sBody));
    }
    if (oRes.m_iStatus >= 400) {
        FUZZ_CHECK(bJson);
        const nlohmann::json oBody = nlohmann::json::parse(oRes.m_sBody);
        FUZZ_CHECK(oBody.is_object() && oBody.size() == 1 && oBody["error"].is_string());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cControl = oInput.TakeByte();
    static SRelay oOpen(false);
    static SRelay oGuarded(true);
    SRelay& oRelay = (cControl & 1) != 0 ? oGuarded : oOpen;

    relayd::SHttpRequest oReq;
    if (!ParseRequest(oInput.TakeBytes(nSize), oReq)) {
        return 0;
    }
    relayd::SHttpResponse oRes;
    relayd::HandleRequest(*oRelay.m_pContext, oRelay.m_oRouter, oReq, oRes);
    if (oRes.m_fnWaitTurn) {
        relayd::SHttpResponse oAnswer;
        oRes.m_fnWaitTurn(oAnswer);
    } else if (oRes.m_fnStreamTurn) {
        std::string sText;
        FUZZ_CHECK(oRes.m_fnStreamTurn(sText) && !sText.empty());
    } else {
        CheckAnswer(oRes);
    }
    if ((cControl & 1) != 0 && oReq.m_sPath.compare(0, 5, "/api/") == 0 &&
        oReq.Header("Authorization").find("t0k") == std::string::npos &&
        oReq.Header("Cookie").find("74306b") == std::string::npos) {
        FUZZ_CHECK(oRes.m_iStatus == 401 || oRes.m_iStatus == 400 || oRes.m_iStatus == 403);
    }
    return 0;
}
