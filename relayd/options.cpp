#include "relayd/options.h"

#include <charconv>
#include <vector>

#include "relay_proc/option_scan.h"
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
    const char* pEnd = sValue.data() + sValue.size();
    int32_t iValue = 0;  // a value past int32_t is no port offset either
    const std::from_chars_result oResult = std::from_chars(sValue.data(), pEnd, iValue);
    if (oResult.ec != std::errc() || oResult.ptr != pEnd) {
        sErrMsg = "'" + sValue + "' is not an integer";
        return false;
    }
    if (!CheckPortOffset(iValue, sErrMsg)) {
        return false;
    }
    oOpts.m_iPortOffset = iValue;
    oOpts.m_bPortOffsetSet = true;
    return true;
}

using SET_FN = bool (*)(SRelaydOptions& oOpts, const std::string& sValue, std::string& sErrMsg);

// --help and --version (no setter) end the scan.
struct SOptionDef {
    relay_proc::SOptionSpec m_oSpec;
    SET_FN m_pSet;
};

// clang-format off
const SOptionDef kOptions[] = {
    {{"help", 'h', false}, nullptr},
    {{"version", 0, false}, nullptr},
    {{nullptr, 'c', true}, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         if (s.empty()) {
             e = "needs a file";
             return false;
         }
         o.m_sConfigPath = s;
         return true;
     }},
    {{"listen", 0, true}, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         if (!CheckListenAddress(s, e)) {
             return false;
         }
         o.m_vecListen.push_back(s);
         return true;
     }},
    {{"port-offset", 0, true}, SetPortOffset},
    {{"http", 0, true}, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         o.m_sHttp = s;
         o.m_bHttpSet = true;
         return CheckHttp(s, e);
     }},
    {{"store", 0, true}, [](SRelaydOptions& o, const std::string& s, std::string& e) {
         o.m_sStore = s;
         o.m_bStoreSet = true;
         return CheckStore(s, e);
     }},
    {{"dump", 0, false}, [](SRelaydOptions& o, const std::string&, std::string& e) {
         return SetMode(o, RM_DUMP, e);
     }},
    {{"check-config", 0, false}, [](SRelaydOptions& o, const std::string&, std::string& e) {
         return SetMode(o, RM_CHECK_CONFIG, e);
     }},
};
// clang-format on

}  // namespace

bool ParseRelaydOptions(int argc, char** argv, SRelaydOptions& oOpts, std::string& sErrMsg) {
    std::vector<relay_proc::SOptionSpec> vecSpecs;
    for (const SOptionDef& oDef : kOptions) {
        vecSpecs.push_back(oDef.m_oSpec);
    }
    auto fnOption = [&oOpts](size_t nIndex, const std::string& sValue, std::string& sWhy) {
        if (kOptions[nIndex].m_pSet == nullptr) {
            oOpts.m_eMode = kOptions[nIndex].m_oSpec.m_cShort == 'h' ? RM_HELP : RM_VERSION;
            return relay_proc::OS_STOP;
        }
        return kOptions[nIndex].m_pSet(oOpts, sValue, sWhy) ? relay_proc::OS_NEXT
                                                            : relay_proc::OS_FAIL;
    };
    return relay_proc::ScanOptions(argc, argv, vecSpecs, fnOption, sErrMsg);
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
