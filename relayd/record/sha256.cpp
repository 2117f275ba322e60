#include "relayd/record/sha256.h"

#include <openssl/sha.h>

#include "relay_proto/hex.h"

namespace relayd {

std::string Sha256(const std::string& sBytes) {
    unsigned char aDigest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(sBytes.data()), sBytes.size(), aDigest);
    return std::string(reinterpret_cast<const char*>(aDigest), sizeof(aDigest));
}

std::string Sha256Hex(const std::string& sBytes) {
    return relay_proto::HexEncode(Sha256(sBytes));
}

}  // namespace relayd
