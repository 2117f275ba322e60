// xconv_utf82gbk and Conv2Gbk against the reference model, whose encoding is the inverse of the
// decoding table: the converter's own encoding blocks must agree with it value for value.
//
// Input: a fill byte, two bytes of room, then the UTF-8 text. The fill byte marks the bytes of the
// room that must stay unwritten; its low bit also picks in_len: the text's size, or a count
// shorter by the fill byte's upper bits.
//
// Properties: the converter writes only inside its room and exactly what the model writes,
// returns the model's count and *out_len (unchanged after -1); room of twice the input is always
// enough; Conv2Gbk gives the whole conversion.
#include <cstdint>
#include <memory>
#include <string>

#include "fanout_client/conv.h"
#include "fuzz/conv_check.h"
#include "fuzz/fuzz_input.h"
#include "xconv/xconv_u2g.h"
#include "xconv/xconv_wide.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // Block-wise conversion for every input long enough for a block, not only for long texts.
    xconv_wide_min_len = 0;
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cFill = oInput.TakeByte();
    const unsigned nRoomSeed = static_cast<unsigned>(oInput.TakeNumber(2));
    const uint8_t* pText = oInput.Rest();
    const unsigned nText = static_cast<unsigned>(oInput.Left());
    const unsigned nRoom = nRoomSeed % (2 * nText + 4);
    const unsigned nShorter = cFill >> 1;
    const unsigned nInLen = (cFill & 1) == 0 ? nText : nText > nShorter ? nText - nShorter : 0;

    const std::unique_ptr<uint8_t[]> pIn = fuzz::ExactCopy(pText, nInLen);
    const fuzz::SConvModel oModel = fuzz::ModelUtf82Gbk(pIn.get(), nInLen, nRoom);
    fuzz::CheckConverter(xconv_utf82gbk, oModel, pIn.get(), nInLen, nRoom,
                         static_cast<char>(cFill));

    const fuzz::SConvModel oWhole = fuzz::ModelUtf82Gbk(pText, nText, 2 * nText);
    FUZZ_CHECK(oWhole.nRet >= 0);
    const std::string sText(reinterpret_cast<const char*>(pText), nText);
    FUZZ_CHECK(Conv2Gbk(sText) == fuzz::WrittenBytes(oWhole, oWhole.nOutLen));
    return 0;
}
