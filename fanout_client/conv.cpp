#include "fanout_client/conv.h"

#include <climits>
#include <cstddef>
#include <stdexcept>

#include "xconv/xconv_g2u.h"
#include "xconv/xconv_u2g.h"

namespace {

// Every GBK byte becomes at most three UTF-8 bytes (a two-byte code asks for room for three);
// one more leaves room for the terminator the converter adds.
constexpr size_t kUtf8BytesPerGbkByte = 3;
// Every UTF-8 byte becomes at most two GBK bytes.
constexpr size_t kGbkBytesPerUtf8Byte = 2;
// The converters count input in int and room in unsigned.
constexpr size_t kMaxInput = (UINT_MAX - 1) / kUtf8BytesPerGbkByte;

// Runs one converter over sMsg into sOut with nCap bytes of room; false when the converter
// ran out of room (sOut empty) or filled all of it (sOut holds what it wrote): a lone lead
// byte at the very end is then dropped instead of becoming a space, without an error.
template <typename TLen>
bool RunConverter(int (*fConv)(const unsigned char*, TLen, char*, unsigned*),
                  const std::string& sMsg, size_t nCap, std::string& sOut) {
    if (sMsg.size() > kMaxInput) {
        throw std::length_error("text too long to convert");
    }
    sOut.assign(nCap, '\0');
    unsigned nResLen = static_cast<unsigned>(nCap);
    const int nRet = fConv(reinterpret_cast<const unsigned char*>(sMsg.data()),
                           static_cast<TLen>(sMsg.size()), sOut.data(), &nResLen);
    sOut.resize(nRet < 0 ? 0 : nResLen);
    return nRet >= 0 && nResLen < nCap;
}

}  // namespace

std::string Conv2Utf8(const std::string& sMsg) {
    std::string sRes;
    // Twice the input is enough for most text; a retry with room for the worst case makes sure
    // nothing is lost when it is not (bytes 80 and FF become three bytes each). With that room
    // the output never fills it, so the retry is always whole.
    if (!RunConverter(xconv_gbk2utf8, sMsg, 2 * sMsg.size(), sRes)) {
        RunConverter(xconv_gbk2utf8, sMsg, kUtf8BytesPerGbkByte * sMsg.size() + 1, sRes);
    }
    return sRes;
}

std::string Conv2Gbk(const std::string& sMsg) {
    // Two bytes out per byte in is the most the encoder writes, so a full buffer is whole.
    std::string sRes;
    RunConverter(xconv_utf82gbk, sMsg, kGbkBytesPerUtf8Byte * sMsg.size(), sRes);
    return sRes;
}
