#include "relayd/record/message.h"

namespace relayd {

namespace {

const char* const kStatusNames[STATUS_COUNT] = {"captured", "queued", "delivering", "delivered",
                                                "failed"};
const char* const kOutcomeNames[OUTCOME_COUNT] = {"delivered", "retry", "failed"};

template <typename ENUM, size_t N>
bool FromName(const char* const (&aNames)[N], const std::string& sName, ENUM& eValue) {
    for (size_t i = 0; i < N; ++i) {
        if (sName == aNames[i]) {
            eValue = static_cast<ENUM>(i);
            return true;
        }
    }
    return false;
}

}  // namespace

const char* StatusName(STATUS eStatus) {
    return kStatusNames[eStatus];
}

bool StatusFromName(const std::string& sName, STATUS& eStatus) {
    return FromName(kStatusNames, sName, eStatus);
}

const char* OutcomeName(OUTCOME eOutcome) {
    return kOutcomeNames[eOutcome];
}

bool OutcomeFromName(const std::string& sName, OUTCOME& eOutcome) {
    return FromName(kOutcomeNames, sName, eOutcome);
}

}  // namespace relayd
