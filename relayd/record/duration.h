// Durations as the configuration writes them: a whole number and a unit, "500ms", "10s",
// "5m", "1h", "2d". Nothing else is accepted: no sign, no blanks, no fractions, no
// combined units ("1h30m"), no number without its unit.
//
//   ParseDuration("2500ms") -> 2500      FormatDuration(2500)     -> "2500ms"
//   ParseDuration("90s")    -> 90000     FormatDuration(90000)    -> "90s"
//   ParseDuration("1d")     -> 86400000  FormatDuration(86400000) -> "1d"
//   ParseDuration("0s")     -> 0         FormatDuration(0)        -> "0s"
#ifndef RELAYD_RECORD_DURATION_H
#define RELAYD_RECORD_DURATION_H

#include <cstdint>
#include <string>

namespace relayd {

// The longest duration accepted: 36500 days. Far beyond any sensible setting, and small
// enough that "now" plus any duration stays far from overflowing 64-bit milliseconds.
const int64_t kMaxDurationMs = 36500LL * 24 * 3600 * 1000;

// sText in milliseconds into llMs. False (llMs unchanged) when sText is not a duration or
// exceeds kMaxDurationMs.
bool ParseDuration(const std::string& sText, int64_t& llMs);

// llMs (0 to kMaxDurationMs) in the largest unit that holds it exactly; ParseDuration
// reads the text back to llMs.
std::string FormatDuration(int64_t llMs);

// What a duration looks like, for error messages.
extern const char* const kDurationHint;

}  // namespace relayd

#endif  // RELAYD_RECORD_DURATION_H
