#include "relayd/options.h"

#include "relayd/config/config_load.h"
#include "relayd/config/config_rules.h"
#include "relayd/config/config_secrets.h"
#include "relayd/record/log.h"

namespace relayd {

namespace {

bool SetMode(SRelaydOptions& oOpts, RELAYD_MODE eMode, std::string& sErrMsg) {
    if (oOpts.m_eMode != RM_SERVE && oOpts.m_eMode != eMode) {
        sErrMsg = "choose one of --dump and --check-config";
        return false;
    }
    oOpts.m_eMode = eMode;
    return true;
}

bool SetPortOffset(SRelaydOptions& oOpts, const std::string& sValue, std::string& sErrMsg) {
    size_t nDigitsAt = (!sValue.empty() && sValue[0] == '-') ? 1 : 0;
    int64_t llValue = 0;
    bool bOk = sValue.size() > nDigitsAt && sValue.size() <= nDigitsAt + 6;
    for (size_t i = nDigitsAt; bOk && i < sValue.size(); ++i) {
        bOk = sValue[i] >= '0' && sValue[i] <= '9';
        llValue = llValue * 10 + (sValue[i] - '0');
    }
    if (!bOk) {
        sErrMsg = "'" + sValue + "' is not an integer";
        return false;
    }
    llValue = nDigitsAt ? -llValue : llValue;
    if (!CheckPortOffset(llValue, sErrMsg)) {
        return false;
    }
    oOpts.m_iPortOffset = static_cast<int32_t>(llValue);
    oOpts.m_bPortOffsetSet = true;
    return true;
}

struct SOptionDef {
    const char* m_szName;
    bool m_bTakesValue;
    bool (*m_pSet)(SRelaydOptions& oOpts, const std::string& sValue, std::string& sErrMsg);
};

// clang-format off
const SOptionDef kOptions[] = {
    {"-c", true, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         if (s.empty()) {
             e = "needs a file";
             return false;
         }
         o.m_sConfigPath = s;
         return true;
     }},
    {"--listen", true, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         if (!CheckListenAddress(s, e)) {
             return false;
         }
         o.m_vecListen.push_back(s);
         return true;
     }},
    {"--port-offset", true, SetPortOffset},
    {"--http", true, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         o.m_sHttp = s;
         o.m_bHttpSet = true;
         return CheckHttp(s, e);
     }},
    {"--store", true, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         o.m_sStore = s;
         o.m_bStoreSet = true;
         return CheckStore(s, e);
     }},
    {"--dump", false, [](SRelaydOptions& o, const std::string&, std::string& e) {
         return SetMode(o, RM_DUMP, e);
     }},
    {"--check-config", false, [](SRelaydOptions& o, const std::string&, std::string& e) {
         return SetMode(o, RM_CHECK_CONFIG, e);
     }},
};
// clang-format on

const SOptionDef* FindOption(const std::string& sName) {
    for (const SOptionDef& oDef : kOptions) {
        if (sName == oDef.m_szName) {
            return &oDef;
        }
    }
    return nullptr;
}

}  // namespace

bool ParseRelaydOptions(int argc, char** argv, SRelaydOptions& oOpts, std::string& sErrMsg) {
    for (int i = 1; i < argc; ++i) {
        std::string sArg = argv[i];
        if (sArg == "--help" || sArg == "-h") {
            oOpts.m_eMode = RM_HELP;
            return true;
        }
        if (sArg == "--version") {
            oOpts.m_eMode = RM_VERSION;
            return true;
        }
        std::string sValue;
        const size_t nEq = sArg.find('=');
        const bool bInline = sArg.compare(0, 2, "--") == 0 && nEq != std::string::npos;
        if (bInline) {
            sValue = sArg.substr(nEq + 1);
            sArg.resize(nEq);
        }
        const SOptionDef* pDef = FindOption(sArg);
        if (pDef == nullptr) {
            sErrMsg = (sArg.compare(0, 1, "-") == 0) ? "unknown option '" + sArg + "'"
                                                     : "unexpected argument '" + sArg + "'";
            return false;
        }
        if (pDef->m_bTakesValue && !bInline) {
            if (i + 1 >= argc) {
                sErrMsg = sArg + " needs a value";
                return false;
            }
            sValue = argv[++i];
        } else if (!pDef->m_bTakesValue && bInline) {
            sErrMsg = sArg + " takes no value";
            return false;
        }
        std::string sWhy;
        if (!pDef->m_pSet(oOpts, sValue, sWhy)) {
            sErrMsg = sArg + ": " + sWhy;
            return false;
        }
    }
    return true;
}

bool LoadSettings(const SRelaydOptions& oOpts, SConfig& oConfig, std::string& sErrMsg) {
    oConfig = SConfig();
    if (!oOpts.m_sConfigPath.empty() && !LoadConfigFile(oOpts.m_sConfigPath, oConfig, sErrMsg)) {
        return false;
    }
    const std::string sWarning = ReadableSecretWarning(oOpts.m_sConfigPath, oConfig);
    if (!sWarning.empty()) {
        LogLine(LL_WARNING, sWarning);
    }
    if (!oOpts.m_vecListen.empty()) {
        oConfig.m_vecListen = oOpts.m_vecListen;
    }
    if (oOpts.m_bPortOffsetSet) {
        oConfig.m_iPortOffset = oOpts.m_iPortOffset;
    }
    if (oOpts.m_bHttpSet) {
        oConfig.m_sHttp = oOpts.m_sHttp;
    }
    if (oOpts.m_bStoreSet) {
        oConfig.m_sStore = oOpts.m_sStore;
    }
    return LoadSecretFiles(oConfig, sErrMsg) && FinishConfig(oConfig, sErrMsg);
}

std::string RelaydUsageText() {
    return R"(Usage: fanout_relayd [options]
       fanout_relayd --dump [options]
       fanout_relayd --check-config [options]

The message relay server. It takes the requests of fanout_client on the four
channel ports (12460 mail, 12461 zeph, 12462 lumo, 12463 sms), checks them,
stores them, answers, and then delivers them: mail over SMTP, the other
channels to webhooks. A channel without a destination only captures its
messages. The web inbox and the HTTP API are at http://127.0.0.1:12464/.

Options (they override the configuration file):
  -c FILE              read the configuration (TOML) from FILE; without it the
                       built-in defaults apply
  --listen ADDR        serve the IPv4 or IPv6 address ADDR (repeatable; replaces
                       the file's listen list; default 127.0.0.1)
  --port-offset N      serve the channel ports 12460+N to 12463+N
  --http ADDR:PORT     serve the web inbox and API there ([::1]:PORT for IPv6)
  --http off           no web inbox, no API
  --store URL          a SQLite file path, or postgresql://...
                       (default fanout-relay.db in the working directory)

Modes:
  --dump               print every stored message as one JSON line, oldest
                       first, and exit
  --check-config       check the configuration, print the effective settings
                       and exit (status 0, or 2 when it is not valid)
  -h, --help           this text
  --version            the version

Exit status: 0 after SIGTERM or SIGINT (requests in flight are finished) and
for the modes above; 2 for a bad option or configuration, a port that cannot
be bound, or a store that cannot be opened.
See fanout_relayd(8) for the configuration keys and the result codes.
)";
}

std::string RelaydVersionText() {
    return std::string("fanout_relayd ") + FANOUT_RELAYD_VERSION;
}

}  // namespace relayd
