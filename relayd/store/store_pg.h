// The store in a PostgreSQL database, which two relays may share: a request both receive
// is stored once (a unique dedupe key), each queued message is claimed by one relay (rows
// locked with SKIP LOCKED, leased for a while), and keys are common to both.
#ifndef RELAYD_STORE_STORE_PG_H
#define RELAYD_STORE_STORE_PG_H

#include <memory>
#include <string>

#include "relayd/store/store.h"

namespace relayd {

// Connects to sUrl ("postgresql://..." or "postgres://...") and brings the schema up to
// date, under a lock so that relays starting together take turns. Refuses (null, with
// the reason in sErrMsg) a database it cannot reach and a schema newer than this program
// knows. Afterwards a statement that gets no answer within about a second fails, and the
// lost connection is made again on later calls. With bReadOnly the schema is only
// checked, never created or migrated.
std::unique_ptr<IStore> OpenPgStore(const std::string& sUrl, bool bReadOnly, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_STORE_STORE_PG_H
