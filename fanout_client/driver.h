// The whole life of one run: channel word, options, one request, exit status.
#ifndef FANOUT_CLIENT_DRIVER_H
#define FANOUT_CLIENT_DRIVER_H

#include <string>

#include "fanout_client/settings.h"

// Returns the process exit status; some paths end the process through exit().
int ClientMain(int argc, char** argv);

// The channel named by the first argument; FT_UNDEFINED for any other word.
FUNC_TYPE ChannelOfWord(const std::string& sFuncStr);

#endif  // FANOUT_CLIENT_DRIVER_H
