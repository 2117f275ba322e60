// xconv_gbk2utf8 and Conv2Utf8 against the reference model.
//
// Input: a flag byte, two bytes of room, then the GBK text. Flag bit 0 sets
// ignore_one_err_gbk_byte; bits 1-2 choose in_len: the text's size, fewer bytes, or a negative
// count; the upper bits give the distance. Bytes of the room not written must keep the fill byte
// FE, which UTF-8 output never contains.
//
// Properties: the converter writes only inside its room and exactly what the model writes,
// returns the model's count and *out_len (unchanged after -1); Conv2Utf8 never stops for lack of
// room; clean GBK decodes with no bad byte and encodes back to itself, also through Conv2Utf8 /
// Conv2Gbk.
#include <cstdint>
#include <memory>
#include <string>

#include "fanout_client/conv.h"
#include "fuzz/conv_check.h"
#include "fuzz/fuzz_input.h"
#include "xconv/xconv_g2u.h"
#include "xconv/xconv_u2g.h"
#include "xconv/xconv_wide.h"

namespace {

const char kFill = static_cast<char>(0xFE);

// in_len as bits 1-2 of the flags choose it.
int ChooseInLen(uint8_t cFlags, size_t nText) {
    const int nText32 = static_cast<int>(nText);
    const int nDistance = cFlags >> 3;
    switch (cFlags >> 1 & 3) {
        case 1:
            return nText32 > nDistance ? nText32 - nDistance : 0;
        case 2:
            return -1 - nDistance;
        default:
            return nText32;
    }
}

// Clean GBK comes back unchanged from a decode and encode with room to spare.
void CheckRoundTrip(const std::string& sText) {
    const std::string sClean = fuzz::CleanGbk(sText);
    const uint8_t* pClean = reinterpret_cast<const uint8_t*>(sClean.data());
    const unsigned nUtf8Room = static_cast<unsigned>(3 * sClean.size() + 1);
    const fuzz::SConvModel oDecoded =
        fuzz::ModelGbk2Utf8(pClean, static_cast<int>(sClean.size()), nUtf8Room, false);
    FUZZ_CHECK(oDecoded.nRet == 0);
    const std::string sUtf8 = fuzz::WrittenBytes(oDecoded, oDecoded.nOutLen);
    FUZZ_CHECK(Conv2Utf8(sClean) == sUtf8);
    FUZZ_CHECK(Conv2Gbk(sUtf8) == sClean);

    std::string sGbk(2 * sUtf8.size(), '\0');
    unsigned nGbkLen = static_cast<unsigned>(sGbk.size());
    FUZZ_CHECK(xconv_utf82gbk(reinterpret_cast<const unsigned char*>(sUtf8.data()),
                              static_cast<unsigned>(sUtf8.size()), &sGbk[0], &nGbkLen) == 0);
    FUZZ_CHECK(sGbk.substr(0, nGbkLen) == sClean);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // Block-wise conversion for every input long enough for a block, not only for long texts.
    xconv_wide_min_len = 0;
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cFlags = oInput.TakeByte();
    const unsigned nRoomSeed = static_cast<unsigned>(oInput.TakeNumber(2));
    const uint8_t* pText = oInput.Rest();
    const size_t nText = oInput.Left();
    // From no room at all to more than any text needs.
    const unsigned nRoom = nRoomSeed % static_cast<unsigned>(3 * nText + 5);
    const int nInLen = ChooseInLen(cFlags, nText);
    const bool bIgnore = (cFlags & 1) != 0;

    const std::unique_ptr<uint8_t[]> pIn = fuzz::ExactCopy(pText, nInLen > 0 ? nInLen : 0);
    const fuzz::SConvModel oModel = fuzz::ModelGbk2Utf8(pIn.get(), nInLen, nRoom, bIgnore);
    ignore_one_err_gbk_byte = bIgnore ? 1 : 0;
    fuzz::CheckConverter(xconv_gbk2utf8, oModel, pIn.get(), nInLen, nRoom, kFill);
    ignore_one_err_gbk_byte = 0;

    // Conv2Utf8 gives the whole conversion, as with room for the worst case, never a part
    // cut off for lack of room (nor a last replacement space dropped by a full buffer).
    const std::string sText(reinterpret_cast<const char*>(pText), nText);
    const int nText32 = static_cast<int>(nText);
    const fuzz::SConvModel oWhole =
        fuzz::ModelGbk2Utf8(pText, nText32, static_cast<unsigned>(3 * nText + 1), false);
    FUZZ_CHECK(oWhole.nRet >= 0);
    FUZZ_CHECK(Conv2Utf8(sText) == fuzz::WrittenBytes(oWhole, oWhole.nOutLen));

    CheckRoundTrip(sText);
    return 0;
}
