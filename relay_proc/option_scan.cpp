#include "relay_proc/option_scan.h"

#include <getopt.h>

namespace relay_proc {

namespace {

// getopt_long's value for the long option at index i (no short option has it).
const int kLongBase = 256;

std::string OptionName(const SOptionSpec& oSpec) {
    return oSpec.m_szLong != nullptr ? std::string("--") + oSpec.m_szLong
                                     : std::string("-") + oSpec.m_cShort;
}

// The option as written, without an "=value": for the message about an unknown one.
std::string AsWritten(const char* szArg) {
    const std::string sArg = szArg;
    return sArg.compare(0, 2, "--") == 0 ? sArg.substr(0, sArg.find('=')) : sArg;
}

}  // namespace

bool ScanOptions(int argc, const char* const* argv, const std::vector<SOptionSpec>& vecSpecs,
                 const OPTION_FN& fnOption, std::string& sErrMsg) {
    // '+': stop at the first argument that is no option; ':': report a missing value as
    // ':' and print nothing.
    std::string sShort = "+:";
    std::vector<option> vecLong;
    for (size_t i = 0; i < vecSpecs.size(); ++i) {
        const SOptionSpec& oSpec = vecSpecs[i];
        const int iValue = oSpec.m_cShort != 0 ? oSpec.m_cShort : kLongBase + static_cast<int>(i);
        if (oSpec.m_cShort != 0) {
            sShort += oSpec.m_cShort;
            sShort += oSpec.m_bTakesValue ? ":" : "";
        }
        if (oSpec.m_szLong != nullptr) {
            vecLong.push_back({oSpec.m_szLong,
                               oSpec.m_bTakesValue ? required_argument : no_argument, nullptr,
                               iValue});
        }
    }
    vecLong.push_back({nullptr, 0, nullptr, 0});
    auto fnSpecOf = [&vecSpecs](int iValue) -> const SOptionSpec* {
        for (size_t i = 0; i < vecSpecs.size(); ++i) {
            if (iValue == (vecSpecs[i].m_cShort != 0 ? vecSpecs[i].m_cShort
                                                     : kLongBase + static_cast<int>(i))) {
                return &vecSpecs[i];
            }
        }
        return nullptr;
    };

    // getopt_long keeps its place in globals: 0 starts a new scan. With '+' it leaves
    // argv in its order, so the const_cast writes nothing.
    optind = 0;
    opterr = 0;
    char* const* pArgv = const_cast<char* const*>(argv);
    int iOpt = 0;
    while ((iOpt = getopt_long(argc, pArgv, sShort.c_str(), vecLong.data(), nullptr)) != -1) {
        const SOptionSpec* pSpec = fnSpecOf(iOpt == ':' || iOpt == '?' ? optopt : iOpt);
        if (iOpt == ':') {
            sErrMsg = OptionName(*pSpec) + " needs a value";
            return false;
        }
        if (iOpt == '?') {
            if (pSpec != nullptr) {  // a known long option given a value it does not take
                sErrMsg = OptionName(*pSpec) + " takes no value";
            } else if (optopt != 0) {
                sErrMsg = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
            } else {
                sErrMsg = "unknown option '" + AsWritten(argv[optind - 1]) + "'";
            }
            return false;
        }
        std::string sWhy;
        const OPTION_STEP eStep = fnOption(static_cast<size_t>(pSpec - vecSpecs.data()),
                                           optarg != nullptr ? optarg : "", sWhy);
        if (eStep == OS_STOP) {
            return true;
        }
        if (eStep == OS_FAIL) {
            sErrMsg = sWhy.compare(0, 2, "--") == 0 ? sWhy : OptionName(*pSpec) + ": " + sWhy;
            return false;
        }
    }
    if (optind < argc) {
        sErrMsg = "unexpected argument '" + std::string(argv[optind]) + "'";
        return false;
    }
    return true;
}

}  // namespace relay_proc
