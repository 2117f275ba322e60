// cpp-httplib, for the HTTP side's files: include this, not <httplib.h>. The library
// pulls in the resolver headers, whose STATUS macro would hide the relay's STATUS enum.
#ifndef RELAYD_HTTP_HTTP_LIB_H
#define RELAYD_HTTP_HTTP_LIB_H

#include <httplib.h>

#undef STATUS

#endif  // RELAYD_HTTP_HTTP_LIB_H
