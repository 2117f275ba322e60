// The store in a SQLite file: write-ahead log with synchronous=FULL (a commit is on disk
// when it returns), one writer connection, readers on connections of their own (another
// process, such as a dump, may read while a server writes).
#ifndef RELAYD_STORE_STORE_SQLITE_H
#define RELAYD_STORE_STORE_SQLITE_H

#include <memory>
#include <string>

#include "relayd/store/store.h"

namespace relayd {

// Opens or creates the store at sPath and brings its schema up to date. Refuses (null,
// with the reason in sErrMsg) a file it cannot open or write, a file system where the
// write-ahead log cannot be used, and a schema newer than this program knows. With
// bReadOnly it only opens an existing store to read it: nothing is created or migrated.
std::unique_ptr<IStore> OpenSqliteStore(const std::string& sPath, bool bReadOnly,
                                        std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_STORE_STORE_SQLITE_H
