// What a relay server process sets up before it serves: descriptors for many clients, and
// the signals that stop it.
#ifndef RELAY_PROC_PROCESS_H
#define RELAY_PROC_PROCESS_H

namespace relay_proc {

// Many concurrent clients need many descriptors: takes all that the hard limit allows.
void RaiseFdLimit();

// Calls pHandler on SIGINT and SIGTERM (SIG_IGN to ignore them from then on).
void SetStopHandler(void (*pHandler)(int));

}  // namespace relay_proc

#endif  // RELAY_PROC_PROCESS_H
