// The whole life of one run: channel word, options, one request, exit status.
#ifndef FANOUT_CLIENT_DRIVER_H
#define FANOUT_CLIENT_DRIVER_H

// Returns the process exit status; some paths end the process through exit().
int ClientMain(int argc, char** argv);

#endif  // FANOUT_CLIENT_DRIVER_H
