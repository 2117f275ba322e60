#include "relayd/relayd_main.h"

#include <cstdio>
#include <memory>
#include <string>

#include "relayd/config/config.h"
#include "relayd/config/config_describe.h"
#include "relayd/options.h"
#include "relayd/record/log.h"
#include "relayd/serve.h"
#include "relayd/store/dump.h"
#include "relayd/store/store.h"

namespace relayd {

namespace {

const int kExitBad = 2;

int Fail(const std::string& sErrMsg) {
    LogLine(LL_ERROR, sErrMsg);
    return kExitBad;
}

int Dump(const SConfig& oConfig) {
    std::string sErrMsg;
    std::unique_ptr<IStore> pStore = OpenStoreReadOnly(oConfig.m_sStore, sErrMsg);
    if (!pStore) {
        return Fail(sErrMsg);
    }
    if (!DumpStore(*pStore, stdout, sErrMsg)) {
        return Fail(sErrMsg);
    }
    return fflush(stdout) == 0 ? 0 : Fail("cannot write the dump to standard output");
}

}  // namespace

int RelaydMain(int argc, char** argv) {
    SRelaydOptions oOpts;
    std::string sErrMsg;
    if (!ParseRelaydOptions(argc, argv, oOpts, sErrMsg)) {
        return Fail(sErrMsg + " (try --help)");
    }
    if (oOpts.m_eMode == RM_HELP) {
        fputs(RelaydUsageText().c_str(), stdout);
        return 0;
    }
    if (oOpts.m_eMode == RM_VERSION) {
        printf("%s\n", RelaydVersionText().c_str());
        return 0;
    }
    SConfig oConfig;
    if (!LoadSettings(oOpts, oConfig, sErrMsg)) {
        return Fail(sErrMsg);
    }
    switch (oOpts.m_eMode) {
        case RM_CHECK_CONFIG:
            fputs(DescribeConfig(oConfig).c_str(), stdout);
            return 0;
        case RM_DUMP:
            return Dump(oConfig);
        default:
            break;
    }
    return Serve(oOpts, oConfig);
}

}  // namespace relayd
