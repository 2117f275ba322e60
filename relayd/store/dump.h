// --dump: every stored message as one JSON line, oldest first.
#ifndef RELAYD_STORE_DUMP_H
#define RELAYD_STORE_DUMP_H

#include <cstdio>
#include <string>

#include "relayd/store/store.h"

namespace relayd {

// Writes every record (with its deliveries) to pOut, one line each, oldest first, and
// flushes. False with the reason when the store cannot be read or pOut cannot be written.
bool DumpStore(IStore& oStore, FILE* pOut, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_STORE_DUMP_H
