#include "relayd/store/dump.h"

#include <cerrno>
#include <cstring>

#include "relayd/record/record_json.h"

namespace relayd {

bool DumpStore(IStore& oStore, FILE* pOut, std::string& sErrMsg) {
    bool bWritten = true;
    auto fnWrite = [&](const SMessage& oMessage) {
        // Bytes that are not UTF-8 become U+FFFD, as in the HTTP API's answers.
        const std::string sLine =
            RecordJsonOrdered(oMessage, true)
                .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
            "\n";
        bWritten = fwrite(sLine.data(), 1, sLine.size(), pOut) == sLine.size();
        return bWritten;
    };
    if (!oStore.ForEachMessage(fnWrite, sErrMsg)) {
        return false;
    }
    if (!bWritten || fflush(pOut) != 0) {
        sErrMsg = std::string("writing the dump: ") + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace relayd
