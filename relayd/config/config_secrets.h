// Secrets kept apart from the configuration: the HTTP token, the SMTP password and the
// webhook secrets may each come from a file of their own (its first line), such as one
// the service manager hands over (LoadCredential=), so the configuration itself can be
// readable by all. And a configuration file that holds a secret itself gets a warning
// when other users can read it.
#ifndef RELAYD_CONFIG_CONFIG_SECRETS_H
#define RELAYD_CONFIG_CONFIG_SECRETS_H

#include <string>

#include "relayd/config/config.h"

namespace relayd {

// Reads each *_file setting's file into its secret. False with "setting: why" in sErrMsg
// for a secret given both ways, a file that cannot be read, or an empty first line.
bool LoadSecretFiles(SConfig& oConfig, std::string& sErrMsg);

// True when the configuration file's own settings hold a secret (a token, a webhook
// secret, a password inside a URL), read before the *_file settings are applied.
bool HoldsSecret(const SConfig& oConfig);

// The one warning line for the configuration file sPath, or "" when there is nothing to
// say: it holds a secret and users other than its owner and group may read it.
std::string ReadableSecretWarning(const std::string& sPath, const SConfig& oConfig);

}  // namespace relayd

#endif  // RELAYD_CONFIG_CONFIG_SECRETS_H
