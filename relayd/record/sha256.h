// SHA-256 of a byte string: the package hash that recognises duplicates, and the
// attachment digests of the message record.
#ifndef RELAYD_RECORD_SHA256_H
#define RELAYD_RECORD_SHA256_H

#include <string>

namespace relayd {

// The 32-byte digest.
std::string Sha256(const std::string& sBytes);

// The digest as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& sBytes);

}  // namespace relayd

#endif  // RELAYD_RECORD_SHA256_H
