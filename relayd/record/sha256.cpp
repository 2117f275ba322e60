#include "relayd/record/sha256.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <memory>

#include "relay_proto/hex.h"

namespace relayd {

namespace {

// The digest's implementation, looked up once: the one-shot SHA256() looks it up again
// on every call, which costs more than hashing a small package.
const EVP_MD* Sha256Method() {
    static EVP_MD* const s_pMd = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return s_pMd;
}

// One context per thread, reset for each digest.
EVP_MD_CTX* ThreadContext() {
    thread_local const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> t_pCtx(EVP_MD_CTX_new(),
                                                                                 EVP_MD_CTX_free);
    return t_pCtx.get();
}

}  // namespace

std::string Sha256(const std::string& sBytes) {
    unsigned char aDigest[SHA256_DIGEST_LENGTH];
    EVP_MD_CTX* pCtx = ThreadContext();
    const EVP_MD* pMd = Sha256Method();
    unsigned int nLen = 0;
    if (pCtx == nullptr || pMd == nullptr || EVP_DigestInit_ex2(pCtx, pMd, nullptr) != 1 ||
        EVP_DigestUpdate(pCtx, sBytes.data(), sBytes.size()) != 1 ||
        EVP_DigestFinal_ex(pCtx, aDigest, &nLen) != 1 || nLen != sizeof(aDigest)) {
        // Out of memory for the context: the one-shot call still gives the digest.
        SHA256(reinterpret_cast<const unsigned char*>(sBytes.data()), sBytes.size(), aDigest);
    }
    return std::string(reinterpret_cast<const char*>(aDigest), sizeof(aDigest));
}

std::string Sha256Hex(const std::string& sBytes) {
    return relay_proto::HexEncode(Sha256(sBytes));
}

}  // namespace relayd
