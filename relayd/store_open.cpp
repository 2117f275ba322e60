#include "relayd/store.h"

#include "relayd/store_sqlite.h"

namespace relayd {

std::unique_ptr<IStore> OpenStore(const std::string& sUrl, std::string& sErrMsg) {
    return OpenSqliteStore(sUrl, sErrMsg);
}

}  // namespace relayd
