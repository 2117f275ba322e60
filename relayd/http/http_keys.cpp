// /api/v1/keys: keys from the file (read-only) and keys registered here.
#include <openssl/rand.h>

#include "relay_proto/hex.h"
#include "relayd/http/http_parse.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"
#include "relayd/record/clock.h"
#include "relayd/record/record_json.h"
#include "relayd/store/keyring.h"

namespace relayd {

namespace {

// 16 random bytes from the system's cryptographic generator, as 32 hex digits.
const size_t kRandomIdBytes = 16;
// A clash of 128 random bits does not happen; the retries are for a store that already
// holds an id someone chose by hand.
const int kRandomIdTries = 3;

bool RandomKeyId(std::string& sId) {
    unsigned char aBytes[kRandomIdBytes];
    if (RAND_bytes(aBytes, sizeof(aBytes)) != 1) {
        return false;
    }
    sId =
        relay_proto::HexEncode(std::string(reinterpret_cast<const char*>(aBytes), sizeof(aBytes)));
    return true;
}

void ListKeys(SHttpContext& oContext, SHttpResponse& oRes) {
    std::vector<SKey> vecStored;
    std::string sErrMsg;
    if (!oContext.m_oStore.ListKeys(vecStored, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    JSON oKeys = JSON::array();
    for (SKey oKey : oContext.m_oKeys.ConfigKeys()) {
        oKey.m_eSource = KS_CONFIG;
        oKeys.push_back(KeyJsonOrdered(oKey));
    }
    for (const SKey& oKey : vecStored) {
        oKeys.push_back(KeyJsonOrdered(oKey));
    }
    ReplyJson(oRes, 200, {{"keys", oKeys}});
}

// Stores oKey under its own id, or under a fresh random one; false (with the answer
// sent) when it cannot.
bool InsertKey(SHttpContext& oContext, SKey& oKey, bool bIdGiven, SHttpResponse& oRes) {
    std::string sErrMsg;
    for (int i = 0; i < (bIdGiven ? 1 : kRandomIdTries); ++i) {
        if (!bIdGiven && !RandomKeyId(oKey.m_sId)) {
            ReplyError(oRes, 500, "no random bytes for a key id");
            return false;
        }
        if (oContext.m_oKeys.FromFile(oKey.m_sId)) {
            continue;
        }
        CHANGE_RESULT eResult = CR_DONE;
        if (!oContext.m_oStore.InsertKey(oKey, eResult, sErrMsg)) {
            ReplyStoreError(oRes, sErrMsg);
            return false;
        }
        if (eResult == CR_DONE) {
            return true;
        }
    }
    ReplyError(oRes, 409, "the key id \"" + oKey.m_sId + "\" is taken");
    return false;
}

void RegisterKey(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
    SKey oKey;
    bool bIdGiven = false;
    std::string sErrMsg;
    if (!ParseKeyRequest(oReq.m_sBody, oKey, bIdGiven, sErrMsg)) {
        ReplyError(oRes, 400, sErrMsg);
        return;
    }
    oKey.m_llCreatedAtMs = WallNowMs();
    if (InsertKey(oContext, oKey, bIdGiven, oRes)) {
        ReplyJson(oRes, 201, KeyJsonOrdered(oKey));
    }
}

void RevokeKey(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
    const std::string sId = oReq.m_vecMatches[1];
    if (!IsValidKeyId(sId)) {
        ReplyError(oRes, 404, "no such key");
        return;
    }
    if (oContext.m_oKeys.FromFile(sId)) {
        ReplyError(oRes, 409, "the key comes from the configuration file; remove it there");
        return;
    }
    CHANGE_RESULT eResult = CR_DONE;
    std::string sErrMsg;
    if (!oContext.m_oStore.RevokeKey(sId, eResult, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    if (eResult == CR_NOT_FOUND) {
        ReplyError(oRes, 404, "no such key");
        return;
    }
    // Revoking a revoked key again changes nothing and is no error.
    oRes.m_iStatus = 204;
}

}  // namespace

void AddKeyRoutes(CHttpRouter& oServer, SHttpContext& oContext) {
    SHttpContext* pContext = &oContext;
    oServer.Get("/api/v1/keys", [pContext](const SHttpRequest&, SHttpResponse& oRes) {
        ListKeys(*pContext, oRes);
    });
    oServer.Post("/api/v1/keys", [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
        RegisterKey(*pContext, oReq, oRes);
    });
    oServer.Delete("/api/v1/keys/*", [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
        RevokeKey(*pContext, oReq, oRes);
    });
}

}  // namespace relayd
