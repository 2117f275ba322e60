// The texts of the relay server's result codes.
#ifndef FANOUT_CLIENT_PKG_ERRMSG_H
#define FANOUT_CLIENT_PKG_ERRMSG_H

#include <cstdint>
#include <string>

// The text for a reply's non-zero m_result; codes the client does not know (0 included)
// give "Unknown problem!", so callers always append the number itself.
std::string GetPkgErrMsg(uint32_t dwRes);

#endif  // FANOUT_CLIENT_PKG_ERRMSG_H
