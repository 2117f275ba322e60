#include "relayd/record/sha256.h"

#include <openssl/sha.h>

namespace relayd {

std::string Sha256(const std::string& sBytes) {
    unsigned char aDigest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(sBytes.data()), sBytes.size(), aDigest);
    return std::string(reinterpret_cast<const char*>(aDigest), sizeof(aDigest));
}

std::string Sha256Hex(const std::string& sBytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string sHex;
    for (const char c : Sha256(sBytes)) {
        sHex += kDigits[static_cast<unsigned char>(c) >> 4];
        sHex += kDigits[static_cast<unsigned char>(c) & 0x0F];
    }
    return sHex;
}

}  // namespace relayd
