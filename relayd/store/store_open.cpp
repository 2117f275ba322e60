#include "relayd/store/store.h"

#include "relayd/store/store_pg.h"
#include "relayd/store/store_sqlite.h"

namespace relayd {

std::unique_ptr<IStore> OpenStore(const std::string& sUrl, std::string& sErrMsg) {
    if (sUrl.compare(0, 13, "postgresql://") == 0 || sUrl.compare(0, 11, "postgres://") == 0) {
        return OpenPgStore(sUrl, sErrMsg);
    }
    return OpenSqliteStore(sUrl, sErrMsg);
}

}  // namespace relayd
