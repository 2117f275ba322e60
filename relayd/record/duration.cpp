#include "relayd/record/duration.h"

#include <charconv>

namespace relayd {

namespace {

struct SUnit {
    const char* m_szName;
    int64_t m_llMs;
};

// Largest first, so FormatDuration picks the largest exact unit.
const SUnit kUnits[] = {
    {"d", 24LL * 3600 * 1000}, {"h", 3600 * 1000}, {"m", 60 * 1000}, {"s", 1000}, {"ms", 1},
};

}  // namespace

const char* const kDurationHint = "a duration such as \"500ms\", \"10s\", \"5m\", \"1h\" or \"2d\"";

bool ParseDuration(const std::string& sText, int64_t& llMs) {
    // Digits first: from_chars would also take a sign.
    if (sText.empty() || sText[0] < '0' || sText[0] > '9') {
        return false;
    }
    const char* pEnd = sText.data() + sText.size();
    int64_t llNumber = 0;
    const std::from_chars_result oResult = std::from_chars(sText.data(), pEnd, llNumber);
    if (oResult.ec != std::errc() || llNumber > kMaxDurationMs) {
        return false;
    }
    const std::string sUnit(oResult.ptr, pEnd);
    for (const SUnit& oUnit : kUnits) {
        if (sUnit == oUnit.m_szName) {
            if (llNumber > kMaxDurationMs / oUnit.m_llMs) {
                return false;
            }
            llMs = llNumber * oUnit.m_llMs;
            return true;
        }
    }
    return false;
}

std::string FormatDuration(int64_t llMs) {
    if (llMs == 0) {
        return "0s";
    }
    // Every unit but the last (ms), which holds any count.
    for (size_t i = 0; i + 1 < sizeof(kUnits) / sizeof(kUnits[0]); ++i) {
        if (llMs % kUnits[i].m_llMs == 0) {
            return std::to_string(llMs / kUnits[i].m_llMs) + kUnits[i].m_szName;
        }
    }
    return std::to_string(llMs) + "ms";
}

}  // namespace relayd
