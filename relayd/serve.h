// Serving: the store, intake on the channel ports, delivery and the HTTP side, until
// SIGTERM or SIGINT; SIGHUP reloads what can change while serving (relayd/reload.h).
#ifndef RELAYD_SERVE_H
#define RELAYD_SERVE_H

#include "relayd/config/config.h"
#include "relayd/options.h"

namespace relayd {

// Exit status: 0 after a stop signal, 2 when a port cannot be bound or the store cannot
// be opened (one line on stderr), 1 when the event loop fails.
// oOpts: the command line, for reloading the configuration with it.
int Serve(const SRelaydOptions& oOpts, const SConfig& oConfig);

}  // namespace relayd

#endif  // RELAYD_SERVE_H
