// The command line of fanout_relayd, and the settings it leads to: the built-in
// defaults, then the configuration file (-c), then the options, then the checks across
// all of them.
#ifndef RELAYD_OPTIONS_H
#define RELAYD_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "relayd/config/config.h"

namespace relayd {

enum RELAYD_MODE {
    RM_SERVE,         // no mode option: serve until SIGTERM/SIGINT
    RM_DUMP,          // --dump: print every stored message as a JSON line
    RM_CHECK_CONFIG,  // --check-config: print the effective settings
    RM_HELP,          // --help: print RelaydUsageText()
    RM_VERSION,       // --version: print RelaydVersionText()
};

struct SRelaydOptions {
    RELAYD_MODE m_eMode = RM_SERVE;
    std::string m_sConfigPath;             // -c; empty: no file, the defaults
    std::vector<std::string> m_vecListen;  // --listen (repeatable); empty: the file's
    bool m_bPortOffsetSet = false;
    int32_t m_iPortOffset = 0;  // --port-offset
    bool m_bHttpSet = false;
    std::string m_sHttp;  // --http ADDR:PORT or off
    bool m_bStoreSet = false;
    std::string m_sStore;  // --store URL
};

// Reads argv[1..argc) into oOpts. Values follow their option as the next word, or for
// the long options after '=' (--port-offset=5). --help and --version end the scan at
// once. False with one line naming the option in sErrMsg.
bool ParseRelaydOptions(int argc, char** argv, SRelaydOptions& oOpts, std::string& sErrMsg);

// The settings for oOpts: defaults, the file, the options, then FinishConfig. False with
// one line in sErrMsg (the file's errors name file, line and column).
bool LoadSettings(const SRelaydOptions& oOpts, SConfig& oConfig, std::string& sErrMsg);

// The --help text.
std::string RelaydUsageText();

// The --version line, "fanout_relayd 1.3.0".
std::string RelaydVersionText();

}  // namespace relayd

#endif  // RELAYD_OPTIONS_H
