#include "relayd/store/store.h"

#include "relayd/store/store_pg.h"
#include "relayd/store/store_sqlite.h"

namespace relayd {

namespace {

std::unique_ptr<IStore> Open(const std::string& sUrl, bool bReadOnly, std::string& sErrMsg) {
    if (sUrl.compare(0, 13, "postgresql://") == 0 || sUrl.compare(0, 11, "postgres://") == 0) {
        return OpenPgStore(sUrl, bReadOnly, sErrMsg);
    }
    return OpenSqliteStore(sUrl, bReadOnly, sErrMsg);
}

}  // namespace

std::unique_ptr<IStore> OpenStore(const std::string& sUrl, std::string& sErrMsg) {
    return Open(sUrl, false, sErrMsg);
}

std::unique_ptr<IStore> OpenStoreReadOnly(const std::string& sUrl, std::string& sErrMsg) {
    return Open(sUrl, true, sErrMsg);
}

}  // namespace relayd
