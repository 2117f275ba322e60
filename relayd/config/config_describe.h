// What --check-config prints: the effective settings and what becomes of each channel's
// messages.
#ifndef RELAYD_CONFIG_CONFIG_DESCRIBE_H
#define RELAYD_CONFIG_CONFIG_DESCRIBE_H

#include <string>

#include "relayd/config/config.h"

namespace relayd {

// One setting per line ("read_timeout = 10s"), the HTTP token and webhook secrets shown
// as "(set)" and passwords inside URLs replaced by "(set)"; then one line per channel
// ("mail: deliver over smtp://...", "sms: capture only") and one per key of the file.
std::string DescribeConfig(const SConfig& oConfig);

}  // namespace relayd

#endif  // RELAYD_CONFIG_CONFIG_DESCRIBE_H
