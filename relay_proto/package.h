// The request and reply package's header and the result codes, as the client defines
// them: the one place where the servers take them from, so every program reads and writes
// the same header and speaks the same codes (MSG_PKG_HEAD, PKG_TYPE_REQUEST/RESPONSE,
// PKG_RESULT: RES_OK .. RES_KEY_REJECTED).
#ifndef RELAY_PROTO_PACKAGE_H
#define RELAY_PROTO_PACKAGE_H

#include "fanout_client/pkg_define.h"

#endif  // RELAY_PROTO_PACKAGE_H
