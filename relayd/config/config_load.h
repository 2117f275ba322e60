// The configuration file (TOML) into SConfig.
//
// Every key is optional; a key the relay does not know is an error (a misspelt key
// would otherwise silently leave its default in force), and so is a value of the wrong
// type or out of range. Errors name the place: "relayd.toml:7:12: max_connections:
// expected an integer from 1 to 1000000".
#ifndef RELAYD_CONFIG_CONFIG_LOAD_H
#define RELAYD_CONFIG_CONFIG_LOAD_H

#include <string>

#include "relayd/config/config.h"

namespace relayd {

// Reads the TOML file sPath over the settings in oConfig: each key found replaces its
// setting, [[keys]] replace the key list. False with "FILE:LINE:COLUMN: key: why" (or
// "FILE: why" when it cannot be read) in sErrMsg; oConfig may then be partly changed.
bool LoadConfigFile(const std::string& sPath, SConfig& oConfig, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_CONFIG_CONFIG_LOAD_H
