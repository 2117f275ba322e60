// Reloading the configuration of a running relay (SIGHUP): the [[keys]] list and the
// secrets take effect at once; every other setting only at the next start. These rules
// say which settings a reloaded configuration changed that still wait for a restart, and
// put the outcome into the one line the relay logs.
#ifndef RELAYD_CONFIG_CONFIG_RELOAD_H
#define RELAYD_CONFIG_CONFIG_RELOAD_H

#include <cstddef>
#include <string>
#include <vector>

#include "relayd/config/config.h"

namespace relayd {

// The settings that differ between oRunning and oNew and take effect only at a restart,
// by their configuration names ("http", "mail.smtp", "delivery.retry_max"), in the
// configuration's order. The keys, the secrets and the secrets' files are not among them.
std::vector<std::string> SettingsNeedingRestart(const SConfig& oRunning, const SConfig& oNew);

// oRunning with oNew's keys, secrets and secret files: what a reload puts in force.
void TakeReloadable(const SConfig& oNew, SConfig& oRunning);

// "reloaded: keys 3; secrets changed: http_token; needs a restart: http, store", the
// parts after the keys only when there is something to say ("secrets unchanged" else).
std::string ReloadText(size_t nKeys, const std::vector<std::string>& vecChangedSecrets,
                       const std::vector<std::string>& vecNeedRestart);

}  // namespace relayd

#endif  // RELAYD_CONFIG_CONFIG_RELOAD_H
