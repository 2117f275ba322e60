// Who may talk to the HTTP side: the bearer token, and the checks that keep other web
// sites out of a local inbox. (The addresses it may listen on without a token are the
// configuration's rule: relayd/config/config_rules.h.)
//
//   TokensEqual("s3cret", "s3cret") -> true, in time independent of where they differ
//   BearerToken("Bearer abc") -> "abc";  CookieValue("a=1; fanout_token=7879", ...) -> "7879"
//   HostHeaderAllowed("127.0.0.1:12464") -> true;  HostHeaderAllowed("evil.example:80") -> false
#ifndef RELAYD_HTTP_HTTP_GUARD_H
#define RELAYD_HTTP_HTTP_GUARD_H

#include <string>

namespace relayd {

// Compares both tokens' SHA-256 digests with a constant-time compare, so neither the
// position of the first difference nor the token's length shows in the time taken.
bool TokensEqual(const std::string& sGiven, const std::string& sExpected);

// The token of an "Authorization: Bearer <token>" value; false for any other scheme.
bool BearerToken(const std::string& sAuthorization, std::string& sToken);

// The value of cookie sName in a Cookie header, as it stands; false when absent.
bool CookieValue(const std::string& sCookieHeader, const std::string& sName, std::string& sValue);

// The Host header of a request to a relay without a token: an IP address or
// "localhost", with or without a port. A name that resolves to the relay only by a trick
// of DNS (another site's page calling it "evil.example") is refused.
bool HostHeaderAllowed(const std::string& sHostHeader);

// An Origin header of a page served by this relay: "http://" or "https://" followed by
// the Host header.
bool OriginMatchesHost(const std::string& sOrigin, const std::string& sHostHeader);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_GUARD_H
