// cpp-httplib as the tests' HTTP client, independent of the relay's own server: include
// this, not <httplib.h>. The library pulls in the resolver headers, whose STATUS macro
// would hide the relay's STATUS enum.
#ifndef TESTS_HTTPLIB_CLIENT_H
#define TESTS_HTTPLIB_CLIENT_H

#include <httplib.h>

#undef STATUS

#endif  // TESTS_HTTPLIB_CLIENT_H
