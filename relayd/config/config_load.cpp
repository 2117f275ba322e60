#include "relayd/config/config_load.h"

#include <toml++/toml.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "relayd/config/config_rules.h"
#include "relayd/record/duration.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

const size_t kMaxConfigBytes = 16u << 20;

// What is wrong with a value; m_pAt names the array element at fault (null: the value).
struct SProblem {
    std::string m_sWhy;
    const toml::node* m_pAt = nullptr;
};

bool Refuse(SProblem& oProblem, const std::string& sWhy, const toml::node* pAt = nullptr) {
    oProblem.m_sWhy = sWhy;
    oProblem.m_pAt = pAt;
    return false;
}

// --- Values -----------------------------------------------------------------------------

bool GetString(const toml::node& oNode, std::string& sValue, SProblem& oProblem) {
    if (!oNode.is_string()) {
        return Refuse(oProblem, "expected a string");
    }
    sValue = oNode.as_string()->get();
    return true;
}

// A string that fnCheck accepts.
bool GetChecked(const toml::node& oNode, bool (*fnCheck)(const std::string&, std::string&),
                std::string& sValue, SProblem& oProblem) {
    std::string sText;
    if (!GetString(oNode, sText, oProblem)) {
        return false;
    }
    if (!fnCheck(sText, oProblem.m_sWhy)) {
        return false;
    }
    sValue = sText;
    return true;
}

bool GetBool(const toml::node& oNode, bool& bValue, SProblem& oProblem) {
    if (!oNode.is_boolean()) {
        return Refuse(oProblem, "expected true or false");
    }
    bValue = oNode.as_boolean()->get();
    return true;
}

template <typename T>
bool GetInteger(const toml::node& oNode, int64_t llMin, int64_t llMax, T& tValue,
                SProblem& oProblem) {
    if (!oNode.is_integer() || oNode.as_integer()->get() < llMin ||
        oNode.as_integer()->get() > llMax) {
        return Refuse(oProblem, "expected an integer from " + std::to_string(llMin) + " to " +
                                    std::to_string(llMax));
    }
    tValue = static_cast<T>(oNode.as_integer()->get());
    return true;
}

bool GetDuration(const toml::node& oNode, int64_t llMinMs, int64_t& llMs, SProblem& oProblem) {
    int64_t llParsed = 0;
    if (!oNode.is_string() || !ParseDuration(oNode.as_string()->get(), llParsed)) {
        return Refuse(oProblem, std::string("expected ") + kDurationHint + ", at most " +
                                    FormatDuration(kMaxDurationMs));
    }
    if (llParsed < llMinMs) {
        return Refuse(oProblem, "must be at least " + FormatDuration(llMinMs));
    }
    llMs = llParsed;
    return true;
}

// An array of strings, each accepted by fnCheck, at least one.
bool GetList(const toml::node& oNode, bool (*fnCheck)(const std::string&, std::string&),
             std::vector<std::string>& vecValues, SProblem& oProblem) {
    const toml::array* pArray = oNode.as_array();
    if (pArray == nullptr) {
        return Refuse(oProblem, "expected an array of strings");
    }
    if (pArray->empty()) {
        return Refuse(oProblem, "expected at least one entry");
    }
    std::vector<std::string> vecParsed;
    for (const toml::node& oElem : *pArray) {
        std::string sValue;
        if (!GetChecked(oElem, fnCheck, sValue, oProblem)) {
            oProblem.m_pAt = &oElem;
            return false;
        }
        vecParsed.push_back(sValue);
    }
    vecValues = vecParsed;
    return true;
}

// Names as the client writes them ("alice;bob") or as an array (["alice", "bob"]).
bool GetNames(const toml::node& oNode, std::vector<std::string>& vecNames, SProblem& oProblem) {
    std::vector<std::string> vecParsed;
    if (oNode.is_string()) {
        const std::string& sList = oNode.as_string()->get();
        if (!IsNameListValid(sList)) {
            return Refuse(oProblem, "'" + sList +
                                        "' is not a list of names (a-z, A-Z, 0-9, _ "
                                        "and - only, separated by ;)");
        }
        vecParsed = SplitNameList(sList);
    } else if (oNode.is_array()) {
        for (const toml::node& oElem : *oNode.as_array()) {
            std::string sName;
            if (!GetChecked(oElem, CheckName, sName, oProblem)) {
                oProblem.m_pAt = &oElem;
                return false;
            }
            vecParsed.push_back(sName);
        }
    } else {
        return Refuse(oProblem, "expected names as \"alice;bob\" or [\"alice\", \"bob\"]");
    }
    vecNames = vecParsed;
    return true;
}

bool GetChannels(const toml::node& oNode, std::vector<relay_proto::CHANNEL>& vecChannels,
                 SProblem& oProblem) {
    const std::string sHint = "expected an array of channel words (mail, zeph, lumo, sms)";
    if (!oNode.is_array()) {
        return Refuse(oProblem, sHint);
    }
    std::vector<relay_proto::CHANNEL> vecParsed;
    for (const toml::node& oElem : *oNode.as_array()) {
        relay_proto::CHANNEL eChannel = relay_proto::CH_SMS;
        if (!oElem.is_string() ||
            !relay_proto::ChannelFromName(oElem.as_string()->get(), eChannel)) {
            return Refuse(oProblem, sHint, &oElem);
        }
        vecParsed.push_back(eChannel);
    }
    vecChannels = vecParsed;
    return true;
}

// --- Tables -----------------------------------------------------------------------------

template <typename T>
struct SField {
    const char* m_szName;
    bool (*m_pRead)(const toml::node& oNode, T& oTarget, SProblem& oProblem);
};

typedef decltype(SConfig::m_oMail) MAIL_SETTINGS;
typedef decltype(SConfig::m_oDelivery) DELIVERY_SETTINGS;

// clang-format off
const SField<SConfig> kTopFields[] = {
    {"listen", [](const toml::node& n, SConfig& c, SProblem& p) { return GetList(n, CheckListenAddress, c.m_vecListen, p); }},
    {"port_offset", [](const toml::node& n, SConfig& c, SProblem& p) { return GetInteger(n, kMinPortOffset, kMaxPortOffset, c.m_iPortOffset, p); }},
    {"http", [](const toml::node& n, SConfig& c, SProblem& p) { return GetChecked(n, CheckHttp, c.m_sHttp, p); }},
    {"http_token", [](const toml::node& n, SConfig& c, SProblem& p) { return GetChecked(n, CheckHttpToken, c.m_sHttpToken, p); }},
    {"store", [](const toml::node& n, SConfig& c, SProblem& p) { return GetChecked(n, CheckStore, c.m_sStore, p); }},
    {"allow", [](const toml::node& n, SConfig& c, SProblem& p) { return GetList(n, CheckAllowEntry, c.m_vecAllowText, p); }},
    {"require_key", [](const toml::node& n, SConfig& c, SProblem& p) { return GetBool(n, c.m_bRequireKey, p); }},
    {"dedupe_window", [](const toml::node& n, SConfig& c, SProblem& p) { return GetDuration(n, 0, c.m_llDedupeWindowMs, p); }},
    {"http_max_connections", [](const toml::node& n, SConfig& c, SProblem& p) { return GetInteger(n, kMinHttpMaxConnections, kMaxHttpMaxConnections, c.m_dwHttpMaxConnections, p); }},
    {"max_connections", [](const toml::node& n, SConfig& c, SProblem& p) { return GetInteger(n, 1, kMaxMaxConnections, c.m_dwMaxConnections, p); }},
    {"read_timeout", [](const toml::node& n, SConfig& c, SProblem& p) { return GetDuration(n, 1, c.m_llReadTimeoutMs, p); }},
    {"max_package", [](const toml::node& n, SConfig& c, SProblem& p) { return GetInteger(n, kMinMaxPackage, kMaxMaxPackage, c.m_dwMaxPackage, p); }},
    {"max_connections_per_peer", [](const toml::node& n, SConfig& c, SProblem& p) { return GetInteger(n, 1, kMaxMaxConnections, c.m_dwMaxConnectionsPerPeer, p); }},
    {"max_pending_bytes", [](const toml::node& n, SConfig& c, SProblem& p) { return GetInteger(n, kMinMaxPackage, kMaxMaxPendingBytes, c.m_ddwMaxPendingBytes, p); }},
    {"retention", [](const toml::node& n, SConfig& c, SProblem& p) { return GetDuration(n, 0, c.m_llRetentionMs, p); }},
    {"http_token_file", [](const toml::node& n, SConfig& c, SProblem& p) { return GetString(n, c.m_sHttpTokenFile, p); }},
};

const SField<MAIL_SETTINGS> kMailFields[] = {
    {"smtp", [](const toml::node& n, MAIL_SETTINGS& m, SProblem& p) { return GetChecked(n, CheckSmtpUrl, m.m_sSmtp, p); }},
    {"from", [](const toml::node& n, MAIL_SETTINGS& m, SProblem& p) { return GetChecked(n, CheckMailFrom, m.m_sFrom, p); }},
    {"domain", [](const toml::node& n, MAIL_SETTINGS& m, SProblem& p) { return GetChecked(n, CheckMailDomain, m.m_sDomain, p); }},
    {"password_file", [](const toml::node& n, MAIL_SETTINGS& m, SProblem& p) { return GetString(n, m.m_sPasswordFile, p); }},
};

const SField<SWebhook> kWebhookFields[] = {
    {"webhook", [](const toml::node& n, SWebhook& w, SProblem& p) { return GetChecked(n, CheckWebhookUrl, w.m_sUrl, p); }},
    {"secret", [](const toml::node& n, SWebhook& w, SProblem& p) { return GetString(n, w.m_sSecret, p); }},
    {"secret_file", [](const toml::node& n, SWebhook& w, SProblem& p) { return GetString(n, w.m_sSecretFile, p); }},
};

const SField<DELIVERY_SETTINGS> kDeliveryFields[] = {
    {"sync", [](const toml::node& n, DELIVERY_SETTINGS& d, SProblem& p) { return GetBool(n, d.m_bSync, p); }},
    {"sync_timeout", [](const toml::node& n, DELIVERY_SETTINGS& d, SProblem& p) { return GetDuration(n, 1, d.m_llSyncTimeoutMs, p); }},
    {"attempt_timeout", [](const toml::node& n, DELIVERY_SETTINGS& d, SProblem& p) { return GetDuration(n, 1, d.m_llAttemptTimeoutMs, p); }},
    {"retry_initial", [](const toml::node& n, DELIVERY_SETTINGS& d, SProblem& p) { return GetDuration(n, 1, d.m_llRetryInitialMs, p); }},
    {"retry_max", [](const toml::node& n, DELIVERY_SETTINGS& d, SProblem& p) { return GetDuration(n, 1, d.m_llRetryMaxMs, p); }},
    {"max_age", [](const toml::node& n, DELIVERY_SETTINGS& d, SProblem& p) { return GetDuration(n, 1, d.m_llMaxAgeMs, p); }},
};

const SField<SKey> kKeyFields[] = {
    {"id", [](const toml::node& n, SKey& k, SProblem& p) { return GetChecked(n, CheckKeyId, k.m_sId, p); }},
    {"receivers", [](const toml::node& n, SKey& k, SProblem& p) { return GetNames(n, k.m_vecReceivers, p); }},
    {"cc", [](const toml::node& n, SKey& k, SProblem& p) { return GetNames(n, k.m_vecCc, p); }},
    {"subject", [](const toml::node& n, SKey& k, SProblem& p) { return GetString(n, k.m_sSubject, p); }},
    {"channels", [](const toml::node& n, SKey& k, SProblem& p) { return GetChannels(n, k.m_vecChannels, p); }},
};
// clang-format on

const char* const kSections = "mail, zeph, lumo, sms, delivery, keys";

template <typename T, size_t N>
std::string FieldNames(const SField<T> (&aFields)[N]) {
    std::string sNames;
    for (const SField<T>& oField : aFields) {
        sNames += (sNames.empty() ? "" : ", ") + std::string(oField.m_szName);
    }
    return sNames;
}

// Reads one parsed document into SConfig, keeping the first error with its place.
class CConfigReader {
public:
    explicit CConfigReader(const std::string& sPath) : m_sPath(sPath) {}

    bool Read(const toml::table& oRoot, SConfig& oConfig) {
        for (auto&& oEntry : oRoot) {
            const std::string sName(oEntry.first.str());
            const toml::node& oNode = oEntry.second;
            relay_proto::CHANNEL eChannel = relay_proto::CH_SMS;
            bool bOk = false;
            if (sName == "mail") {
                bOk = ReadSection(sName, oNode, kMailFields, oConfig.m_oMail);
            } else if (sName == "delivery") {
                bOk = ReadSection(sName, oNode, kDeliveryFields, oConfig.m_oDelivery);
            } else if (relay_proto::ChannelFromName(sName, eChannel)) {
                bOk = ReadSection(sName, oNode, kWebhookFields, oConfig.m_aWebhooks[eChannel]);
            } else if (sName == "keys") {
                bOk = ReadKeys(oNode, oConfig.m_vecKeys);
            } else {
                bOk = ReadEntry("", oEntry.first, oNode, kTopFields, oConfig,
                                FieldNames(kTopFields) + ", and the tables " + kSections);
            }
            if (!bOk) {
                return false;
            }
        }
        return true;
    }

    const std::string& ErrMsg() const { return m_sErrMsg; }

private:
    bool Fail(const toml::source_region& oWhere, const std::string& sKey, const std::string& sWhy) {
        m_sErrMsg = m_sPath + ":" + std::to_string(oWhere.begin.line) + ":" +
                    std::to_string(oWhere.begin.column) + ": " + sKey + ": " + sWhy;
        return false;
    }

    template <typename T, size_t N>
    bool ReadEntry(const std::string& sPrefix, const toml::key& oKey, const toml::node& oNode,
                   const SField<T> (&aFields)[N], T& oTarget, const std::string& sKnown) {
        const std::string sName = sPrefix + std::string(oKey.str());
        for (const SField<T>& oField : aFields) {
            if (oKey.str() != oField.m_szName) {
                continue;
            }
            SProblem oProblem;
            if (!oField.m_pRead(oNode, oTarget, oProblem)) {
                const toml::node& oAt = oProblem.m_pAt ? *oProblem.m_pAt : oNode;
                return Fail(oAt.source(), sName, oProblem.m_sWhy);
            }
            return true;
        }
        return Fail(oKey.source(), sName, "unknown key (known here: " + sKnown + ")");
    }

    template <typename T, size_t N>
    bool ReadTable(const std::string& sPrefix, const toml::table& oTable,
                   const SField<T> (&aFields)[N], T& oTarget) {
        for (auto&& oEntry : oTable) {
            if (!ReadEntry(sPrefix, oEntry.first, oEntry.second, aFields, oTarget,
                           FieldNames(aFields))) {
                return false;
            }
        }
        return true;
    }

    template <typename T, size_t N>
    bool ReadSection(const std::string& sName, const toml::node& oNode,
                     const SField<T> (&aFields)[N], T& oTarget) {
        if (!oNode.is_table()) {
            return Fail(oNode.source(), sName, "expected a table ([" + sName + "])");
        }
        return ReadTable(sName + ".", *oNode.as_table(), aFields, oTarget);
    }

    bool ReadKeys(const toml::node& oNode, std::vector<SKey>& vecKeys) {
        if (!oNode.is_array()) {
            return Fail(oNode.source(), "keys", "expected [[keys]] tables");
        }
        std::map<std::string, uint32_t> mapLines;  // id -> line of its key
        std::vector<SKey> vecRead;
        for (const toml::node& oElem : *oNode.as_array()) {
            if (!oElem.is_table()) {
                return Fail(oElem.source(), "keys", "expected [[keys]] tables");
            }
            const toml::table& oTable = *oElem.as_table();
            SKey oKey;
            oKey.m_eSource = KS_CONFIG;
            if (!ReadTable("keys.", oTable, kKeyFields, oKey)) {
                return false;
            }
            const toml::node* pId = oTable.get("id");
            if (pId == nullptr) {
                return Fail(oTable.source(), "keys", "this key has no id");
            }
            const auto oInserted = mapLines.emplace(oKey.m_sId, pId->source().begin.line);
            if (!oInserted.second) {
                return Fail(pId->source(), "keys.id",
                            "'" + oKey.m_sId + "' is already the id of the key on line " +
                                std::to_string(oInserted.first->second));
            }
            vecRead.push_back(oKey);
        }
        vecKeys = vecRead;
        return true;
    }

    std::string m_sPath;
    std::string m_sErrMsg;
};

bool ReadWholeFile(const std::string& sPath, std::string& sText, std::string& sErrMsg) {
    FILE* pFile = fopen(sPath.c_str(), "rb");
    if (pFile == nullptr) {
        sErrMsg = sPath + ": cannot open: " + strerror(errno);
        return false;
    }
    sText.clear();
    char aBuf[65536];
    size_t nRead = 0;
    while ((nRead = fread(aBuf, 1, sizeof(aBuf), pFile)) > 0 && sText.size() <= kMaxConfigBytes) {
        sText.append(aBuf, nRead);
    }
    const bool bError = ferror(pFile) != 0;
    const int iErrno = errno;
    fclose(pFile);
    if (bError) {
        sErrMsg = sPath + ": cannot read: " + strerror(iErrno);
        return false;
    }
    if (sText.size() > kMaxConfigBytes) {
        sErrMsg = sPath + ": larger than " + std::to_string(kMaxConfigBytes) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

bool LoadConfigFile(const std::string& sPath, SConfig& oConfig, std::string& sErrMsg) {
    std::string sText;
    if (!ReadWholeFile(sPath, sText, sErrMsg)) {
        return false;
    }
    toml::table oRoot;
    try {
        oRoot = toml::parse(sText, sPath);
    } catch (const toml::parse_error& oError) {
        const toml::source_position& oAt = oError.source().begin;
        sErrMsg = sPath + ":" + std::to_string(oAt.line) + ":" + std::to_string(oAt.column) + ": " +
                  std::string(oError.description());
        return false;
    }
    CConfigReader oReader(sPath);
    if (!oReader.Read(oRoot, oConfig)) {
        sErrMsg = oReader.ErrMsg();
        return false;
    }
    return true;
}

}  // namespace relayd
