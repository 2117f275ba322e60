// A request line's target taken apart: the path and the query's parameters, each
// percent-decoded ('+' is a space in the query only). An escape that is not one ("%zz")
// stays as it stands.
//
//   ParseTarget("/api/v1/messages?q=%E7%9F%AD+x&limit=2") -> "/api/v1/messages",
//       {q: "短 x", limit: "2"}
//   ParseTarget("/api/v1/keys/a%2Fb") -> "/api/v1/keys/a/b" (so no route matches it)
//   ParseTarget("http://x/") -> false: only a path is taken
#ifndef RELAYD_HTTP_HTTP_TARGET_H
#define RELAYD_HTTP_HTTP_TARGET_H

#include <map>
#include <string>

namespace relayd {

bool ParseTarget(const std::string& sTarget, std::string& sPath,
                 std::multimap<std::string, std::string>& mapParams, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_TARGET_H
